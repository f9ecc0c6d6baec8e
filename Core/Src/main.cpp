#include "main.h"

#include "gpio.h"
#include "i2c.h"
#include "iwdg.h"
#include "rtc.h"
#include "tim.h"
#include "usart.h"
#include "wspr_app.h"

void Board_Start(void) {
    HAL_Init();
    SystemClock_Config();
    /* From here on a hang anywhere ends in a reset. */
    MX_IWDG_Init();

    MX_GPIO_Init();
    MX_I2C1_Init();
    MX_RTC_Init();
    MX_TIM1_Init();
    MX_TIM3_Init();
    MX_USART1_UART_Init();
    MX_USART2_UART_Init();

    WSPR_App_Init();

    if (HAL_TIM_Base_Start_IT(&htim3) != HAL_OK) {
        Error_Handler();
    }
}

int main(void) {
    Board_Start();
    for (;;) {
        WSPR_App_Process();
    }
}

void SystemClock_Config(void) {
    RCC_OscInitTypeDef osc = {};
    RCC_ClkInitTypeDef clk = {};

    __HAL_RCC_PWR_CLK_ENABLE();
    __HAL_PWR_VOLTAGESCALING_CONFIG(PWR_REGULATOR_VOLTAGE_SCALE1);

    osc.OscillatorType = RCC_OSCILLATORTYPE_HSE | RCC_OSCILLATORTYPE_LSI;
    osc.HSEState = RCC_HSE_ON;
    osc.LSIState = RCC_LSI_ON;
    osc.PLL.PLLState = RCC_PLL_ON;
    osc.PLL.PLLSource = RCC_PLLSOURCE_HSE;
    osc.PLL.PLLM = 25;
    osc.PLL.PLLN = 200;
    osc.PLL.PLLP = RCC_PLLP_DIV2;
    osc.PLL.PLLQ = 4;
    if (HAL_RCC_OscConfig(&osc) != HAL_OK) {
        Error_Handler();
    }

    clk.ClockType =
        RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
    clk.SYSCLKSource = RCC_SYSCLKSOURCE_PLLCLK;
    clk.AHBCLKDivider = RCC_SYSCLK_DIV1;
    clk.APB1CLKDivider = RCC_HCLK_DIV2;
    clk.APB2CLKDivider = RCC_HCLK_DIV1;
    if (HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3) != HAL_OK) {
        Error_Handler();
    }
}

void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM3) {
        WSPR_App_Tick1ms();
    }
}

void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart) {
    WSPR_App_UartRxCpltCallback(huart);
}

void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart) {
    WSPR_App_UartErrorCallback(huart);
}

/* A peripheral could not be configured, or a fault stopped the program: nothing can run safely.
 * CLK1 goes off first (no carrier left on), then the CPU waits for the watchdog's reset, started
 * here if the failure came before it was. */
void Error_Handler(void) {
    hiwdg.Instance = IWDG;
    if (hiwdg.Init.Reload == 0U) {
        hiwdg.Init.Prescaler = IWDG_PRESCALER_64;
        hiwdg.Init.Reload = IWDG_RELOAD_MAX;
    }
    (void)HAL_IWDG_Init(&hiwdg);
    WSPR_App_EmergencyStop();
    __disable_irq();
    for (;;) {
        __WFI();
    }
}
