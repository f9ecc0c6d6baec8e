/* Register blocks of the STM32F411xE peripherals this firmware drives, and of the Cortex-M4 core
 * peripherals (NVIC, SCB, SysTick), with the bit fields the platform layer uses. Layouts and
 * offsets follow the reference manual RM0383 and the Cortex-M4 generic user guide; each block is
 * checked against its documented size below. */
#ifndef STM32F411_REGS_H
#define STM32F411_REGS_H

#include <stddef.h>
#include <stdint.h>

#include "stm32f4xx_hal.h"

#define REG_RW volatile uint32_t

/* ---- Peripheral blocks named by the platform operations ----------------------------------------
 */

struct GPIO_TypeDef {
    REG_RW MODER;   /* 0x00: 2 bits per pin: input, output, alternate, analog */
    REG_RW OTYPER;  /* 0x04: 1 = open drain */
    REG_RW OSPEEDR; /* 0x08: 2 bits per pin */
    REG_RW PUPDR;   /* 0x0C: 2 bits per pin: none, up, down */
    REG_RW IDR;     /* 0x10 */
    REG_RW ODR;     /* 0x14 */
    REG_RW BSRR;    /* 0x18: low half sets, high half resets */
    REG_RW LCKR;    /* 0x1C */
    REG_RW AFR[2];  /* 0x20: 4 bits per pin, pins 0..7 then 8..15 */
};

struct USART_TypeDef {
    REG_RW SR;   /* 0x00 */
    REG_RW DR;   /* 0x04 */
    REG_RW BRR;  /* 0x08: mantissa 15:4, fraction 3:0 (sixteenths with 16x oversampling) */
    REG_RW CR1;  /* 0x0C */
    REG_RW CR2;  /* 0x10 */
    REG_RW CR3;  /* 0x14 */
    REG_RW GTPR; /* 0x18 */
};

struct I2C_TypeDef {
    REG_RW CR1;   /* 0x00 */
    REG_RW CR2;   /* 0x04: FREQ = PCLK1 in MHz */
    REG_RW OAR1;  /* 0x08 */
    REG_RW OAR2;  /* 0x0C */
    REG_RW DR;    /* 0x10 */
    REG_RW SR1;   /* 0x14 */
    REG_RW SR2;   /* 0x18 */
    REG_RW CCR;   /* 0x1C */
    REG_RW TRISE; /* 0x20 */
    REG_RW FLTR;  /* 0x24 */
};

struct TIM_TypeDef {
    REG_RW CR1;     /* 0x00 */
    REG_RW CR2;     /* 0x04 */
    REG_RW SMCR;    /* 0x08 */
    REG_RW DIER;    /* 0x0C */
    REG_RW SR;      /* 0x10 */
    REG_RW EGR;     /* 0x14 */
    REG_RW CCMR[2]; /* 0x18 */
    REG_RW CCER;    /* 0x20 */
    REG_RW CNT;     /* 0x24 */
    REG_RW PSC;     /* 0x28 */
    REG_RW ARR;     /* 0x2C */
    REG_RW RCR;     /* 0x30: advanced timers only */
    REG_RW CCR[4];  /* 0x34 */
    REG_RW BDTR;    /* 0x44 */
    REG_RW DCR;     /* 0x48 */
    REG_RW DMAR;    /* 0x4C */
    REG_RW OR;      /* 0x50 */
};

struct RTC_TypeDef {
    REG_RW TR;       /* 0x00: time, BCD */
    REG_RW DR;       /* 0x04: date, BCD */
    REG_RW CR;       /* 0x08 */
    REG_RW ISR;      /* 0x0C */
    REG_RW PRER;     /* 0x10 */
    REG_RW WUTR;     /* 0x14 */
    REG_RW CALIBR;   /* 0x18 */
    REG_RW ALRMAR;   /* 0x1C */
    REG_RW ALRMBR;   /* 0x20 */
    REG_RW WPR;      /* 0x24 */
    REG_RW SSR;      /* 0x28 */
    REG_RW SHIFTR;   /* 0x2C */
    REG_RW TSTR;     /* 0x30 */
    REG_RW TSDR;     /* 0x34 */
    REG_RW TSSSR;    /* 0x38 */
    REG_RW CALR;     /* 0x3C */
    REG_RW TAFCR;    /* 0x40 */
    REG_RW ALRMASSR; /* 0x44 */
    REG_RW ALRMBSSR; /* 0x48 */
};

struct IWDG_TypeDef {
    REG_RW KR;  /* 0x00: key */
    REG_RW PR;  /* 0x04: prescaler */
    REG_RW RLR; /* 0x08: reload */
    REG_RW SR;  /* 0x0C: PVU, RVU (an update still on its way to the LSI domain) */
};

/* ---- Blocks only the platform layer itself reaches ---------------------------------------------
 */

struct RCC_Regs {
    REG_RW CR;         /* 0x00 */
    REG_RW PLLCFGR;    /* 0x04 */
    REG_RW CFGR;       /* 0x08 */
    REG_RW CIR;        /* 0x0C */
    REG_RW AHB1RSTR;   /* 0x10 */
    REG_RW AHB2RSTR;   /* 0x14 */
    uint32_t res0[2];  /* 0x18 */
    REG_RW APB1RSTR;   /* 0x20 */
    REG_RW APB2RSTR;   /* 0x24 */
    uint32_t res1[2];  /* 0x28 */
    REG_RW AHB1ENR;    /* 0x30 */
    REG_RW AHB2ENR;    /* 0x34 */
    uint32_t res2[2];  /* 0x38 */
    REG_RW APB1ENR;    /* 0x40 */
    REG_RW APB2ENR;    /* 0x44 */
    uint32_t res3[2];  /* 0x48 */
    REG_RW AHB1LPENR;  /* 0x50 */
    REG_RW AHB2LPENR;  /* 0x54 */
    uint32_t res4[2];  /* 0x58 */
    REG_RW APB1LPENR;  /* 0x60 */
    REG_RW APB2LPENR;  /* 0x64 */
    uint32_t res5[2];  /* 0x68 */
    REG_RW BDCR;       /* 0x70 */
    REG_RW CSR;        /* 0x74 */
    uint32_t res6[2];  /* 0x78 */
    REG_RW SSCGR;      /* 0x80 */
    REG_RW PLLI2SCFGR; /* 0x84 */
    uint32_t res7;     /* 0x88 */
    REG_RW DCKCFGR;    /* 0x8C */
};

struct FLASH_Regs {
    REG_RW ACR;     /* 0x00 */
    REG_RW KEYR;    /* 0x04 */
    REG_RW OPTKEYR; /* 0x08 */
    REG_RW SR;      /* 0x0C */
    REG_RW CR;      /* 0x10 */
    REG_RW OPTCR;   /* 0x14 */
};

struct DWT_Regs {
    REG_RW CTRL;   /* 0x00 */
    REG_RW CYCCNT; /* 0x04 */
};

struct PWR_Regs {
    REG_RW CR;  /* 0x00 */
    REG_RW CSR; /* 0x04 */
};

struct SysTick_Regs {
    REG_RW CTRL;  /* 0x00 */
    REG_RW LOAD;  /* 0x04 */
    REG_RW VAL;   /* 0x08 */
    REG_RW CALIB; /* 0x0C */
};

struct NVIC_Regs {
    REG_RW ISER[8];           /* 0x000 */
    uint32_t res0[24];        /* 0x020 */
    REG_RW ICER[8];           /* 0x080 */
    uint32_t res1[24];        /* 0x0A0 */
    REG_RW ISPR[8];           /* 0x100 */
    uint32_t res2[24];        /* 0x120 */
    REG_RW ICPR[8];           /* 0x180 */
    uint32_t res3[24];        /* 0x1A0 */
    REG_RW IABR[8];           /* 0x200 */
    uint32_t res4[56];        /* 0x220 */
    volatile uint8_t IP[240]; /* 0x300: one priority byte per interrupt, upper 4 bits implemented */
};

struct SCB_Regs {
    REG_RW CPUID;             /* 0x00 */
    REG_RW ICSR;              /* 0x04 */
    REG_RW VTOR;              /* 0x08 */
    REG_RW AIRCR;             /* 0x0C */
    REG_RW SCR;               /* 0x10 */
    REG_RW CCR;               /* 0x14 */
    volatile uint8_t SHP[12]; /* 0x18: priorities of system handlers 4..15 */
    REG_RW SHCSR;             /* 0x24 */
    REG_RW CFSR;              /* 0x28 */
    REG_RW HFSR;              /* 0x2C */
    REG_RW DFSR;              /* 0x30 */
    REG_RW MMFAR;             /* 0x34 */
    REG_RW BFAR;              /* 0x38 */
    REG_RW AFSR;              /* 0x3C */
    uint32_t res0[18];        /* 0x40 */
    REG_RW CPACR;             /* 0x88 */
};

#undef REG_RW

static_assert(offsetof(GPIO_TypeDef, AFR) == 0x20 && sizeof(GPIO_TypeDef) == 0x28);
static_assert(offsetof(USART_TypeDef, GTPR) == 0x18);
static_assert(offsetof(I2C_TypeDef, FLTR) == 0x24);
static_assert(offsetof(TIM_TypeDef, RCR) == 0x30 && offsetof(TIM_TypeDef, OR) == 0x50);
static_assert(offsetof(RTC_TypeDef, WPR) == 0x24 && offsetof(RTC_TypeDef, TAFCR) == 0x40);
static_assert(offsetof(IWDG_TypeDef, SR) == 0x0C);
static_assert(offsetof(RCC_Regs, AHB1ENR) == 0x30 && offsetof(RCC_Regs, APB1ENR) == 0x40 &&
              offsetof(RCC_Regs, BDCR) == 0x70 && offsetof(RCC_Regs, DCKCFGR) == 0x8C);
static_assert(offsetof(NVIC_Regs, ICER) == 0x80 && offsetof(NVIC_Regs, IP) == 0x300);
static_assert(offsetof(SCB_Regs, SHP) == 0x18 && offsetof(SCB_Regs, CPACR) == 0x88);

/* ---- Addresses of the blocks without an instance in the platform header ------------------------
 */

#define PWR_BASE (APB1PERIPH_BASE + 0x7000UL)
#define RCC_BASE (AHB1PERIPH_BASE + 0x3800UL)
#define FLASH_R_BASE (AHB1PERIPH_BASE + 0x3C00UL)
#define USART6_BASE (APB2PERIPH_BASE + 0x1400UL)
#define SCS_BASE 0xE000E000UL
#define SYSTICK_BASE (SCS_BASE + 0x0010UL)
#define NVIC_BASE (SCS_BASE + 0x0100UL)
#define SCB_BASE (SCS_BASE + 0x0D00UL)
#define DEMCR_ADDR (SCS_BASE + 0x0DFCUL) /* debug exception and monitor control */
#define DWT_BASE 0xE0001000UL

/* ---- Bit fields -------------------------------------------------------------------------------
 */

/* RCC */
#define RCC_CR_HSION (1UL << 0)
#define RCC_CR_HSIRDY (1UL << 1)
#define RCC_CR_HSEON (1UL << 16)
#define RCC_CR_HSERDY (1UL << 17)
#define RCC_CR_PLLON (1UL << 24)
#define RCC_CR_PLLRDY (1UL << 25)
#define RCC_PLLCFGR_PLLM_Pos 0U
#define RCC_PLLCFGR_PLLN_Pos 6U
#define RCC_PLLCFGR_PLLP_Pos 16U
#define RCC_PLLCFGR_PLLSRC (1UL << 22)
#define RCC_PLLCFGR_PLLQ_Pos 24U
#define RCC_PLLCFGR_FIELDS 0x0F437FFFUL /* PLLM, PLLN, PLLP, PLLSRC, PLLQ */
#define RCC_CFGR_SW_Msk 0x3UL
#define RCC_CFGR_SWS_Pos 2U
#define RCC_CFGR_SWS_Msk (0x3UL << RCC_CFGR_SWS_Pos)
#define RCC_CFGR_HPRE_Pos 4U
#define RCC_CFGR_HPRE_Msk (0xFUL << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_PPRE1_Pos 10U
#define RCC_CFGR_PPRE1_Msk (0x7UL << RCC_CFGR_PPRE1_Pos)
#define RCC_CFGR_PPRE2_Pos 13U
#define RCC_CFGR_PPRE2_Msk (0x7UL << RCC_CFGR_PPRE2_Pos)
#define RCC_BDCR_RTCSEL_Msk (0x3UL << 8)
#define RCC_BDCR_RTCEN (1UL << 15)
#define RCC_BDCR_BDRST (1UL << 16)
#define RCC_CSR_LSION (1UL << 0)
#define RCC_CSR_LSIRDY (1UL << 1)
#define RCC_CSR_RMVF (1UL << 24)
#define RCC_CSR_RESET_FLAGS (0xFEUL << 24) /* BORRSTF .. LPWRRSTF, bits 25..31 */
#define RCC_APB1ENR_PWREN (1UL << 28)

/* Flash interface */
#define FLASH_ACR_LATENCY_Msk 0x7UL /* 3 bits on the STM32F411 */
#define FLASH_ACR_PRFTEN (1UL << 8)
#define FLASH_ACR_ICEN (1UL << 9)
#define FLASH_ACR_DCEN (1UL << 10)
#define FLASH_ACR_ICRST (1UL << 11)
#define FLASH_ACR_DCRST (1UL << 12)
#define FLASH_KEY1 0x45670123UL
#define FLASH_KEY2 0xCDEF89ABUL
#define FLASH_SR_EOP (1UL << 0)
#define FLASH_SR_OPERR (1UL << 1)
#define FLASH_SR_WRPERR (1UL << 4)
#define FLASH_SR_PGAERR (1UL << 5)
#define FLASH_SR_PGPERR (1UL << 6)
#define FLASH_SR_PGSERR (1UL << 7)
#define FLASH_SR_RDERR (1UL << 8)
#define FLASH_SR_BSY (1UL << 16)
#define FLASH_SR_ERRORS                                                                            \
    (FLASH_SR_OPERR | FLASH_SR_WRPERR | FLASH_SR_PGAERR | FLASH_SR_PGPERR | FLASH_SR_PGSERR |      \
     FLASH_SR_RDERR)
#define FLASH_CR_PG (1UL << 0)
#define FLASH_CR_SER (1UL << 1)
#define FLASH_CR_SNB_Pos 3U
#define FLASH_CR_SNB_Msk (0xFUL << FLASH_CR_SNB_Pos)
#define FLASH_CR_PSIZE_Msk (3UL << 8)
#define FLASH_CR_PSIZE_X32 (2UL << 8)
#define FLASH_CR_STRT (1UL << 16)
#define FLASH_CR_LOCK (1UL << 31)

/* Debug: the cycle counter */
#define DEMCR_TRCENA (1UL << 24)
#define DWT_CTRL_CYCCNTENA (1UL << 0)

/* Power controller */
#define PWR_CR_DBP (1UL << 8)
#define PWR_CR_VOS_Msk (0x3UL << 14)
#define PWR_CSR_VOSRDY (1UL << 14)

/* Independent watchdog */
#define IWDG_KEY_RELOAD 0xAAAAUL
#define IWDG_KEY_ENABLE 0xCCCCUL
#define IWDG_KEY_WRITE_ACCESS 0x5555UL
#define IWDG_SR_PVU (1UL << 0)
#define IWDG_SR_RVU (1UL << 1)

/* GPIO: mode encoding of GPIO_InitTypeDef.Mode */
#define GPIO_MODE_MODER_Msk 0x3UL
#define GPIO_MODE_OPEN_DRAIN 0x10UL

/* I2C */
#define I2C_CR1_PE (1UL << 0)
#define I2C_CR1_START (1UL << 8)
#define I2C_CR1_STOP (1UL << 9)
#define I2C_CR1_ACK (1UL << 10)
#define I2C_CR1_POS (1UL << 11)
#define I2C_CR1_SWRST (1UL << 15)
#define I2C_CR2_FREQ_Msk 0x3FUL
#define I2C_SR1_SB (1UL << 0)
#define I2C_SR1_ADDR (1UL << 1)
#define I2C_SR1_BTF (1UL << 2)
#define I2C_SR1_RXNE (1UL << 6)
#define I2C_SR1_TXE (1UL << 7)
#define I2C_SR1_BERR (1UL << 8)
#define I2C_SR1_ARLO (1UL << 9)
#define I2C_SR1_AF (1UL << 10)
#define I2C_SR2_BUSY (1UL << 1)
#define I2C_CCR_FS (1UL << 15)
#define I2C_CCR_DUTY (1UL << 14)
#define I2C_CCR_Msk 0xFFFUL

/* USART */
#define USART_SR_PE (1UL << 0)
#define USART_SR_FE (1UL << 1)
#define USART_SR_NE (1UL << 2)
#define USART_SR_ORE (1UL << 3)
#define USART_SR_RXNE (1UL << 5)
#define USART_SR_TC (1UL << 6)
#define USART_SR_TXE (1UL << 7)
#define USART_CR1_RXNEIE (1UL << 5)
#define USART_CR1_TCIE (1UL << 6)
#define USART_CR1_TXEIE (1UL << 7)
#define USART_CR1_PEIE (1UL << 8)
#define USART_CR1_UE (1UL << 13)
#define USART_CR3_EIE (1UL << 0)

/* Timers */
#define TIM_CR1_CEN (1UL << 0)
#define TIM_CR1_DIR (1UL << 4)
#define TIM_CR1_CMS_Msk (0x3UL << 5)
#define TIM_CR1_ARPE (1UL << 7)
#define TIM_CR1_CKD_Msk (0x3UL << 8)
#define TIM_CR2_MMS_Msk (0x7UL << 4)
#define TIM_SMCR_SMS_Msk 0x7UL
#define TIM_SMCR_TS_Msk (0x7UL << 4)
#define TIM_SMCR_MSM (1UL << 7)
#define TIM_SMCR_ETF_Msk (0xFUL << 8)
#define TIM_SMCR_ETPS_Msk (0x3UL << 12)
#define TIM_SMCR_ECE (1UL << 14)
#define TIM_SMCR_ETP (1UL << 15)
#define TIM_DIER_UIE (1UL << 0)
#define TIM_DIER_CC2IE (1UL << 2)
#define TIM_SR_UIF (1UL << 0)
#define TIM_SR_CC2IF (1UL << 2)
#define TIM_SR_CC2OF (1UL << 10)
#define TIM_CCMR1_CC2S_Msk (0x3UL << 8)
#define TIM_CCMR1_IC2PSC_Msk (0x3UL << 10)
#define TIM_CCMR1_IC2F_Msk (0xFUL << 12)
#define TIM_CCER_CC2E (1UL << 4)
#define TIM_CCER_CC2P (1UL << 5)
#define TIM_CCER_CC2NP (1UL << 7)
#define TIM_EGR_UG (1UL << 0)

/* RTC */
#define RTC_CR_FMT (1UL << 6)
#define RTC_CR_POL (1UL << 20)
#define RTC_CR_OSEL_Msk (0x3UL << 21)
#define RTC_CR_BKP (1UL << 18)
#define RTC_CR_SUB1H_ADD1H_Msk (0x3UL << 16)
#define RTC_ISR_RSF (1UL << 5)
#define RTC_ISR_INITF (1UL << 6)
#define RTC_ISR_INIT (1UL << 7)
#define RTC_TAFCR_ALARMOUTTYPE (1UL << 18)
#define RTC_WPR_KEY1 0xCAUL
#define RTC_WPR_KEY2 0x53UL
#define RTC_WPR_LOCK 0xFFUL

/* Core */
#define SYSTICK_CTRL_ENABLE (1UL << 0)
#define SYSTICK_CTRL_TICKINT (1UL << 1)
#define SYSTICK_CTRL_CLKSOURCE (1UL << 2)
#define SCB_AIRCR_VECTKEY (0x05FAUL << 16)
#define SCB_AIRCR_PRIGROUP_Pos 8U
#define SCB_AIRCR_PRIGROUP_Msk (0x7UL << SCB_AIRCR_PRIGROUP_Pos)
#define SCB_CPACR_CP10_CP11_FULL (0xFUL << 20)

/* Priority bits implemented by the STM32F4 NVIC: the upper four of each priority byte. */
#define NVIC_PRIO_BITS 4U

#endif
