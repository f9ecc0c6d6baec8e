#ifndef IWDG_H
#define IWDG_H

#include "main.h"

/* The independent watchdog's time-out: well above the longest main-loop pass (a console reply
 * while a frame starts: well under 100 ms), well below what an unattended beacon may lose. */
#define WATCHDOG_TIMEOUT_MS 2000U

extern IWDG_HandleTypeDef hiwdg;

/* Starts the watchdog; from then on every main-loop pass must refresh it. */
void MX_IWDG_Init(void);

#endif
