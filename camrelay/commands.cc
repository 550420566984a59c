#include "commands.h"

#include "session.h"

void handleStart(const nlohmann::json&) { emit(); }

void handleStop(const nlohmann::json&) { emit(); }

void handleCapture(const nlohmann::json&) { emit(); }
