// USART1 (PA9 TX, PA10 RX) and USART2 (PA2 TX, PA3 RX) of the emulated STM32F411 (RM0383
// section 19), asynchronous mode: frames of a start bit, 8 or 9 data bits and the stop bits at
// the rate BRR gives from the bus clock; DR feeds a shift register (TXE, TC); received bytes set
// RXNE, or ORE when the one before was not read; a byte at another baud rate (off by more than
// the receiver tolerates) is a framing error; IDLE after a received burst. The error flags and
// IDLE clear by reading SR and then DR, RXNE by reading DR, TC by an SR read and a DR write.
// Not modelled: synchronous, smartcard, IrDA and LIN modes, hardware flow control, DMA, parity.
#include <algorithm>
#include <cmath>

#include "emu_internal.h"

namespace emu::detail {
namespace {

constexpr int IRQ_USART1 = 37, IRQ_USART2 = 38;
// SR bits.
constexpr uint32_t PE = 1U << 0, FE = 1U << 1, NF = 1U << 2, ORE = 1U << 3, IDLE = 1U << 4,
                   RXNE = 1U << 5, TC = 1U << 6, TXE = 1U << 7;
// CR1 bits.
constexpr uint32_t RE = 1U << 2, TE = 1U << 3, IDLEIE = 1U << 4, RXNEIE = 1U << 5, TCIE = 1U << 6,
                   TXEIE = 1U << 7, PEIE = 1U << 8, M = 1U << 12, UE = 1U << 13, OVER8 = 1U << 15;

class Usart;
void Deliver(int usart, uint8_t byte, uint32_t baud, uint64_t t_ns);

// The wire into a USART's RX pin: bytes back to back at the sender's rate.
class Line : public dev::UartLine {
  public:
    explicit Line(int n) : usart(n) {}
    void send(const uint8_t *data, size_t n, uint64_t at_ns, uint32_t baud) override {
        const uint64_t frame = 10ULL * 1000000000ULL / baud;
        uint64_t t = std::max({at_ns, free, now()});
        for (size_t i = 0; i < n; ++i) {
            t += frame;
            const uint8_t byte = data[i];
            ++waiting;
            const int u = usart;
            schedule(t, [this, u, byte, baud](uint64_t when) {
                --waiting;
                Deliver(u, byte, baud, when);
            });
        }
        free = t;
    }
    uint64_t free_ns() const override { return std::max(free, now()); }
    size_t queued() const override { return waiting; }
    void clear() {
        free = 0;
        waiting = 0;
    }

  private:
    int usart;
    uint64_t free = 0;
    size_t waiting = 0;
};

class Usart : public Peripheral {
  public:
    Usart(const char *name, int number, uint32_t base, Gate gate, int irq, int tx_pin, int rx_pin)
        : Peripheral(name, base, 0x400, gate), number(number), irq(irq), tx_pin(tx_pin),
          rx_pin(rx_pin), line(number) {}
    void mcu_reset() override {
        sr = TXE | TC;
        cr1 = cr2 = cr3 = brr = gtpr = 0;
        rdr = tdr = 0;
        tdr_full = false;
        shift_end = idle_at = NEVER;
        sr_seen = 0;
        Irq();
    }
    // A new world: no device on the line, nothing on its way.
    void world_reset() override {
        device = nullptr;
        line.clear();
    }
    uint64_t next_event_ns() const override { return std::min(shift_end, idle_at); }
    void on_event(uint64_t t) override {
        if (idle_at <= t) {
            idle_at = NEVER;
            sr |= IDLE;
        }
        if (shift_end <= t) {
            shift_end = NEVER;
            if (pin_alternate('A', tx_pin, 7)) {
                if (device != nullptr) {
                    device->uart_from_mcu(shifting, t);
                }
            } else {
                finding(std::string(name()) +
                        " transmits with its TX pin not in alternate function 7");
            }
            if (tdr_full) {
                StartShift(t);
            } else {
                sr |= TC;
            }
        }
        Irq();
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            sr_seen = sr & (PE | FE | NF | ORE | IDLE | TC);
            return sr;
        case 0x04: {
            sr &= ~(RXNE | (sr_seen & (PE | FE | NF | ORE | IDLE)));
            sr_seen = 0;
            Irq();
            return rdr;
        }
        case 0x08:
            return brr;
        case 0x0C:
            return cr1;
        case 0x10:
            return cr2;
        case 0x14:
            return cr3;
        case 0x18:
            return gtpr;
        default:
            finding("read of " + std::string(name()) + " register " + hex(base() + off) +
                    ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00:
            sr &= v | ~(RXNE | TC | (3U << 8));
            Irq();
            return; // rc_w0 bits
        case 0x04:
            WriteDr(v & 0x1FFU);
            return;
        case 0x08:
            brr = v & 0xFFFFU;
            return;
        case 0x0C:
            if (v & OVER8) {
                finding(std::string(name()) + ": oversampling by 8 is not modelled");
            }
            cr1 = v & 0xBFFFU;
            if (!(cr1 & UE)) {
                shift_end = NEVER;
                tdr_full = false;
                sr |= TXE | TC;
            }
            Irq();
            return;
        case 0x10:
            cr2 = v & 0x7F7FU;
            return;
        case 0x14:
            if (v & 0x3C0U) {
                finding(std::string(name()) + ": DMA or flow control is not modelled");
            }
            cr3 = v & 0xFFFU;
            Irq();
            return;
        case 0x18:
            gtpr = v & 0xFFFFU;
            return;
        default:
            finding("write of " + std::string(name()) + " register " + hex(base() + off) +
                    ": not modelled");
            return;
        }
    }

    uint32_t Baud() const {
        const uint32_t f = number == 1 ? pclk2_hz() : pclk1_hz();
        return brr == 0 ? 0 : f / brr;
    }
    uint64_t FrameNs() const {
        const uint32_t baud = Baud();
        const uint32_t stop = ((cr2 >> 12) & 3U) == 2 ? 2 : 1;
        const uint32_t bits = 1 + ((cr1 & M) ? 9 : 8) + stop;
        return baud == 0 ? NEVER / 2 : bits * 1000000000ULL / baud;
    }
    void Receive(uint8_t byte, uint32_t baud, uint64_t t) {
        if (!(cr1 & UE) || !(cr1 & RE) || !pin_alternate('A', rx_pin, 7)) {
            return; // nobody listens: the byte passes by
        }
        const uint32_t ours = Baud();
        const double off = ours == 0 ? 1.0 : std::fabs(static_cast<double>(baud) - ours) / baud;
        if (sr & RXNE) {
            sr |= ORE; // the byte before was not read: this one is lost
        } else {
            rdr = off > 0.03 ? 0 : byte;
            sr |= RXNE | (off > 0.03 ? FE : 0U);
        }
        idle_at = t + FrameNs();
        Irq();
    }

    int number, irq, tx_pin, rx_pin;
    Line line;
    dev::UartDevice *device = nullptr;

    void WriteDr(uint32_t v) {
        if (!(cr1 & UE) || !(cr1 & TE)) {
            finding(std::string(name()) + " DR written with the transmitter off");
            return;
        }
        if (sr_seen & TC) {
            sr &= ~TC;
        }
        sr_seen = 0;
        if (tdr_full) {
            finding(std::string(name()) + " DR written while TXE was clear: a byte lost");
            return;
        }
        tdr = static_cast<uint8_t>(v);
        tdr_full = true;
        sr &= ~(TXE | TC);
        if (shift_end == NEVER) {
            StartShift(now());
        }
        Irq();
    }
    void StartShift(uint64_t t) {
        shifting = tdr;
        tdr_full = false;
        sr |= TXE;
        sr &= ~TC;
        shift_end = t + FrameNs();
    }
    void Irq() {
        const bool on = ((cr1 & RXNEIE) && (sr & (RXNE | ORE))) || ((cr1 & TXEIE) && (sr & TXE)) ||
                        ((cr1 & TCIE) && (sr & TC)) || ((cr1 & IDLEIE) && (sr & IDLE)) ||
                        ((cr1 & PEIE) && (sr & PE)) || ((cr3 & 1U) && (sr & (FE | NF | ORE)));
        irq_level(irq, on);
    }

    uint32_t sr = TXE | TC, cr1 = 0, cr2 = 0, cr3 = 0, brr = 0, gtpr = 0, sr_seen = 0;
    uint8_t rdr = 0, tdr = 0, shifting = 0;
    bool tdr_full = false;
    uint64_t shift_end = NEVER, idle_at = NEVER;
};

Usart g_usart1("USART1", 1, 0x40011000, {0x44, 4}, IRQ_USART1, 9, 10);
Usart g_usart2("USART2", 2, 0x40004400, {0x40, 17}, IRQ_USART2, 2, 3);

Usart &Of(int n) {
    return n == 1 ? g_usart1 : g_usart2;
}

// UART wire delivery: the byte a device sent, reaching the USART's RX pin at t.
void Deliver(int usart, uint8_t byte, uint32_t baud, uint64_t t_ns) {
    Of(usart).Receive(byte, baud, t_ns);
}

} // namespace
} // namespace emu::detail

namespace emu {

void uart_attach(int usart, dev::UartDevice *device) {
    detail::Usart &u = detail::Of(usart);
    u.device = device;
    if (device != nullptr) {
        device->uart_connected(u.line, clock());
    }
}
dev::UartLine &uart_line(int usart) {
    return detail::Of(usart).line;
}

} // namespace emu
