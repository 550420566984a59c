#include "discovery.h"

#include "session.h"

void discover() {}
