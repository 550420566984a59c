#include "parameters.h"

#include "session.h"

void readCameraParameters() {}
