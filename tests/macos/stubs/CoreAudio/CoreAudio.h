// The umbrella header of the Core Audio HAL.
#pragma once

#include <CoreAudio/CoreAudioTypes.h>
#include <CoreAudio/AudioHardware.h>
