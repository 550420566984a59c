// Polls the camera's settings for the status line.
#pragma once

// Reads the camera parameters when they are due, and writes a status line
// when what the host sees changed.
void readCameraParameters();
