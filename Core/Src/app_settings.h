// The settings the beacon runs with: one record, set by the console and kept in flash on `save`.
#pragma once

#include "settings.h"
#include "stm32f4xx_hal.h"

// The record in use; the console's handlers change its fields after their checks.
WSPR_Settings &Settings_Live();
// Start-up: the saved settings when flash holds good ones. The banner's line for what was found;
// nullptr when nothing was saved.
const char *Settings_LoadAtStart();
// `save`: the record into flash. `defaults`: the built-in record now, and forgotten in flash.
HAL_StatusTypeDef Settings_Keep();
HAL_StatusTypeDef Settings_BackToDefaults();
