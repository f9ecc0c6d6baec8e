// I2C1 of the emulated STM32F411 as master transmitter and receiver (RM0383 section 18), on PB6
// (SCL) and PB7 (SDA), with the reference manual's event sequence: START gives SB; SB is cleared
// by reading SR1 and writing the address to DR; the address's acknowledge gives ADDR (cleared by
// reading SR1 then SR2), its absence AF; data moves from DR to the shift register (TxE), a byte
// acknowledged with DR empty gives BTF; STOP ends the transfer after the byte in progress.
// Receiving (address with the read bit): once ADDR is cleared a byte comes in, acknowledged when
// CR1's ACK is set as it ends, and lands in DR (RxNE; reading DR clears it); after an acknowledged
// byte the next one comes in, and one that ends with DR still full waits in the shift register
// (BTF, the clock stretched) until DR is read. A byte not acknowledged is the last: the bus waits
// for STOP or START. So the one-byte reception is: ACK cleared before ADDR is, STOP set after,
// the byte read at RxNE. Bytes take nine SCL periods at the rate CCR gives. The bus is shared
// with the devices: a device that holds SDA low keeps BUSY set and stops a START, and SCL pulses
// made with the pins as GPIO reach the devices.
// Not modelled: 10-bit addresses, the two-byte reception's POS, arbitration loss, bus errors,
// SMBus, DMA.
#include <map>

#include "emu_internal.h"

namespace emu::detail {

struct I2cBus {
    std::map<uint8_t, dev::I2cDevice *> devices;
    dev::I2cDevice *selected = nullptr;
    bool scl = true, sda = true;
    std::function<void(const I2cTransfer &)> listener;
    I2cTransfer transfer{};
    bool in_transfer = false;
};

// The devices' side of the bus: START with the address byte (true when acknowledged), a byte
// written, STOP.
bool i2c_bus_start(uint8_t address_byte, uint64_t t_ns);
bool i2c_bus_write(uint8_t byte, uint64_t t_ns);
uint8_t i2c_bus_read(bool ack, uint64_t t_ns);
void i2c_bus_stop(uint64_t t_ns);

namespace {

I2cBus g_bus;

constexpr int IRQ_I2C1_EV = 31, IRQ_I2C1_ER = 32;
// SR1 and SR2 bits.
constexpr uint32_t SB = 1U << 0, ADDR = 1U << 1, BTF = 1U << 2, RXNE = 1U << 6, TXE = 1U << 7,
                   AF = 1U << 10;
constexpr uint32_t MSL = 1U << 0, BUSY = 1U << 1, TRA = 1U << 2;
// CR1 bits.
constexpr uint32_t PE = 1U << 0, START = 1U << 8, STOP = 1U << 9, ACK = 1U << 10, SWRST = 1U << 15;

void EndTransfer(uint64_t t) {
    if (g_bus.in_transfer) {
        g_bus.in_transfer = false;
        g_bus.transfer.end_ns = t;
        if (g_bus.listener) {
            g_bus.listener(g_bus.transfer);
        }
    }
}

class I2c : public Peripheral {
  public:
    I2c() : Peripheral("I2C1", 0x40005400, 0x400, {0x40, 21}) {}
    // A reset (the chip's, or the RCC's line for I2C1) cuts the transfer on the bus where it is:
    // what went out is what the bus carried; the device stays in it until a STOP or a START.
    void mcu_reset() override {
        EndTransfer(now());
        cr1 = cr2 = oar1 = oar2 = ccr = fltr = 0;
        trise = 2;
        Idle();
        Irq();
    }
    // The devices, the listener and the lines' last levels belong to the world.
    void world_reset() override {
        g_bus.devices.clear();
        g_bus.selected = nullptr;
        g_bus.listener = nullptr;
        g_bus.in_transfer = false;
        g_bus.scl = g_bus.sda = true;
    }
    uint64_t next_event_ns() const override { return event_at; }
    void on_event(uint64_t t) override {
        event_at = NEVER;
        switch (phase) {
        case Phase::START:
            cr1 &= ~START;
            dr_full = false;
            sr1 |= SB;
            sr2 |= MSL | BUSY;
            phase = Phase::WAIT_ADDRESS;
            break;
        case Phase::ADDRESS: {
            const bool ack = i2c_bus_start(shift, t);
            const auto addr7 = static_cast<uint8_t>(shift >> 1);
            if (g_bus.in_transfer && (shift & 1U) && g_bus.transfer.addr7 == addr7) {
                // A repeated START that reads what the write before it addressed: one record.
                g_bus.transfer.read = true;
                g_bus.transfer.acked = g_bus.transfer.acked && ack;
            } else {
                EndTransfer(t); // any other repeated START ends the transfer before it
                g_bus.in_transfer = true;
                g_bus.transfer = {addr7, {}, ack, start_at, t};
            }
            if (ack) {
                sr1 |= ADDR;
                sr2 = (sr2 & ~TRA) | ((shift & 1U) ? 0U : TRA);
                phase = Phase::WAIT_ADDR_CLEAR;
            } else {
                sr1 |= AF;
                phase = Phase::STALLED;
            }
            break;
        }
        case Phase::DATA: {
            const bool ack = i2c_bus_write(shift, t);
            g_bus.transfer.bytes.push_back(shift);
            if (!ack) {
                g_bus.transfer.acked = false;
                sr1 |= AF;
                phase = Phase::STALLED;
                break;
            }
            if (dr_full) {
                Shift(t);
            } else {
                sr1 |= BTF;
                phase = Phase::STALLED;
            }
            break;
        }
        case Phase::RECEIVE: {
            const bool ack = (cr1 & ACK) != 0;
            shift = i2c_bus_read(ack, t);
            g_bus.transfer.bytes.push_back(shift);
            if (dr_full) {
                sr1 |= BTF; // DR still holds the byte before: this one waits, the clock stretched
                phase = Phase::RECEIVE_HELD;
                break;
            }
            Received(t, ack);
            break;
        }
        case Phase::STOP: {
            i2c_bus_stop(t);
            EndTransfer(t);
            cr1 &= ~STOP;
            const bool received = dr_full && !(sr2 & TRA); // DR keeps the last byte read
            Idle();
            dr_full = received;
            break;
        }
        default:
            break;
        }
        if (phase == Phase::STALLED || phase == Phase::IDLE) {
            MaybeStopOrStart(t);
        }
        Irq();
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return cr1;
        case 0x04:
            return cr2;
        case 0x08:
            return oar1;
        case 0x0C:
            return oar2;
        case 0x10:
            return ReadDr();
        case 0x14:
            sr1_read = true;
            if (!(sr2 & TRA)) {
                return sr1 | (dr_full ? RXNE : 0U);
            }
            return sr1 |
                   (dr_full ? 0U : (phase == Phase::DATA || phase == Phase::STALLED ? TXE : 0U));
        case 0x18: {
            const bool busy = (sr2 & BUSY) || !bus_sda() || !bus_scl();
            if (sr1_read && (sr1 & ADDR)) {
                sr1 &= ~ADDR;
                if (sr2 & TRA) { // DR is empty, the transmitter is ready
                    phase = Phase::STALLED;
                    MaybeStopOrStart(now());
                } else { // the first byte comes in
                    phase = Phase::RECEIVE;
                    event_at = now() + 9 * BitNs();
                }
                Irq();
            }
            sr1_read = false;
            return (sr2 & ~BUSY) | (busy ? BUSY : 0U);
        }
        case 0x1C:
            return ccr;
        case 0x20:
            return trise;
        case 0x24:
            return fltr;
        default:
            finding("read of I2C1 register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00:
            WriteCr1(v);
            return;
        case 0x04:
            cr2 = v & 0x1F3FU;
            if ((cr2 & 0x3FU) != pclk1_hz() / 1000000U) {
                finding("I2C1 CR2 FREQ " + std::to_string(cr2 & 0x3FU) + " MHz is not PCLK1 (" +
                        std::to_string(pclk1_hz()) + " Hz)");
            }
            return;
        case 0x08:
            oar1 = v;
            return;
        case 0x0C:
            oar2 = v;
            return;
        case 0x10:
            WriteDr(static_cast<uint8_t>(v));
            return;
        case 0x14:
            sr1 &= ~(~v & 0xDF00U);
            Irq();
            return; // error flags: write 0 to clear
        case 0x1C:
            if (cr1 & PE) {
                finding("I2C1 CCR written while the peripheral is enabled");
            }
            ccr = v & 0xCFFFU;
            return;
        case 0x20:
            trise = v & 0x3FU;
            return;
        case 0x24:
            fltr = v & 0x1FU;
            return;
        default:
            finding("write of I2C1 register " + hex(base() + off) + ": not modelled");
            return;
        }
    }

  private:
    enum class Phase {
        IDLE,
        START,
        WAIT_ADDRESS,
        ADDRESS,
        WAIT_ADDR_CLEAR,
        DATA,
        STALLED,
        RECEIVE,
        RECEIVE_HELD,
        STOP
    };

    // A received byte (in `shift`) goes to DR; after an acknowledged one the next comes in, after
    // the last the bus waits for STOP or START.
    void Received(uint64_t t, bool ack) {
        dr = shift;
        dr_full = true;
        sr1 &= ~BTF;
        if (ack && !(cr1 & STOP)) {
            phase = Phase::RECEIVE;
            event_at = t + 9 * BitNs();
        } else {
            phase = Phase::STALLED;
        }
    }
    uint32_t ReadDr() {
        if (sr2 & TRA) {
            return 0; // the transmitter's DR reads back nothing useful
        }
        const uint8_t byte = dr;
        dr_full = false;
        if (phase == Phase::RECEIVE_HELD) {
            Received(now(), (cr1 & ACK) != 0);
            if (phase == Phase::STALLED) {
                MaybeStopOrStart(now());
            }
        }
        Irq();
        return byte;
    }

    uint64_t BitNs() const {
        const uint32_t c = ccr & 0xFFFU;
        const uint64_t clocks = !(ccr & (1U << 15))  ? 2U * c
                                : (ccr & (1U << 14)) ? 25U * c
                                                     : 3U * c;
        const uint32_t f = pclk1_hz();
        return clocks == 0 || f == 0 ? 10000 : clocks * 1000000000ULL / f;
    }
    bool PinsReady() const { return pin_alternate('B', 6, 4) && pin_alternate('B', 7, 4); }
    void Idle() {
        phase = Phase::IDLE;
        sr1 = 0;
        sr2 = 0;
        dr_full = false;
        sr1_read = false;
        event_at = NEVER;
    }
    void Irq() {
        const bool ev = (cr2 & (1U << 9)) && (sr1 & (SB | ADDR | BTF));
        const bool buf =
            (cr2 & (1U << 9)) && (cr2 & (1U << 10)) && ((sr2 & TRA) ? !dr_full : dr_full);
        irq_level(IRQ_I2C1_EV, ev || buf);
        irq_level(IRQ_I2C1_ER, (cr2 & (1U << 8)) && (sr1 & 0xDF00U));
    }
    void WriteCr1(uint32_t v) {
        if (v & SWRST) {
            cr1 = SWRST;
            Idle();
            Irq();
            return;
        }
        const bool was_on = cr1 & PE;
        cr1 = v;
        if (!(cr1 & PE)) {
            if (was_on) {
                EndTransfer(now());
            }
            Idle();
            cr1 &= ~(START | STOP);
            Irq();
            return;
        }
        MaybeStopOrStart(now());
    }
    // A START or STOP asked for takes effect once the byte on the bus is through.
    void MaybeStopOrStart(uint64_t t) {
        if (event_at != NEVER) {
            return;
        }
        if ((cr1 & STOP) && (sr2 & MSL) && phase != Phase::WAIT_ADDRESS) {
            phase = Phase::STOP;
            sr1 &= ~BTF;
            event_at = t + BitNs();
            return;
        }
        if ((cr1 & START) && (phase == Phase::IDLE || phase == Phase::STALLED)) {
            const bool bus_free = bus_sda() && bus_scl();
            if (!PinsReady() || (phase == Phase::IDLE && !bus_free)) {
                return; // the START waits for the bus (the driver times out)
            }
            sr1 &= ~(BTF | AF);
            phase = Phase::START;
            start_at = t;
            event_at = t + BitNs();
        }
    }
    void WriteDr(uint8_t byte) {
        if (phase == Phase::WAIT_ADDRESS) {
            if (!sr1_read || !(sr1 & SB)) {
                finding("I2C1 DR written before SB was read from SR1");
            }
            sr1 &= ~SB;
            sr1_read = false;
            shift = byte;
            phase = Phase::ADDRESS;
            event_at = now() + 9 * BitNs();
            return;
        }
        if (!(sr2 & TRA) || (phase != Phase::DATA && phase != Phase::STALLED) || sr1 & ADDR) {
            finding("I2C1 DR written outside a transmission");
            return;
        }
        if (sr1 & AF) {
            return;
        }
        sr1 &= ~BTF;
        if (phase == Phase::STALLED) {
            dr = byte;
            dr_full = true;
            Shift(now());
        } else if (!dr_full) {
            dr = byte;
            dr_full = true;
        } else {
            finding("I2C1 DR written while TxE was clear: a byte lost");
        }
        Irq();
    }
    void Shift(uint64_t t) {
        shift = dr;
        dr_full = false;
        phase = Phase::DATA;
        event_at = t + 9 * BitNs();
    }

    uint32_t cr1 = 0, cr2 = 0, oar1 = 0, oar2 = 0, ccr = 0, trise = 2, fltr = 0;
    uint32_t sr1 = 0, sr2 = 0;
    uint8_t dr = 0, shift = 0;
    bool dr_full = false, sr1_read = false;
    Phase phase = Phase::IDLE;
    uint64_t event_at = NEVER, start_at = 0;
};
I2c g_i2c;

} // namespace

bool i2c_bus_start(uint8_t address_byte, uint64_t t) {
    const auto it = g_bus.devices.find(static_cast<uint8_t>(address_byte >> 1));
    g_bus.selected = nullptr;
    if (it == g_bus.devices.end()) {
        return false;
    }
    const bool read = (address_byte & 1U) != 0;
    if (read ? it->second->i2c_start_read(t) : it->second->i2c_start(t)) {
        g_bus.selected = it->second;
        return true;
    }
    return false;
}
bool i2c_bus_write(uint8_t byte, uint64_t t) {
    return g_bus.selected != nullptr && g_bus.selected->i2c_write(byte, t);
}
uint8_t i2c_bus_read(bool ack, uint64_t t) {
    return g_bus.selected != nullptr ? g_bus.selected->i2c_read(ack, t) : 0xFF;
}
void i2c_bus_stop(uint64_t t) {
    if (g_bus.selected != nullptr) {
        g_bus.selected->i2c_stop(t);
        g_bus.selected = nullptr;
    }
}

bool bus_scl() {
    return i2c_pin_output(6) != 0;
}
bool bus_sda() {
    if (i2c_pin_output(7) == 0) {
        return false;
    }
    for (const auto &[addr, device] : g_bus.devices) {
        if (device->holds_sda()) {
            return false;
        }
    }
    return true;
}

// The pins moved as GPIO: a rising SCL clocks the devices; SDA rising while SCL is high is a STOP.
void i2c_pins_changed(uint64_t t) {
    const bool scl = bus_scl(), sda = bus_sda();
    if (scl && !g_bus.scl) {
        for (const auto &[addr, device] : g_bus.devices) {
            device->scl_pulse(t);
        }
    }
    if (scl && g_bus.scl && sda && !g_bus.sda) {
        i2c_bus_stop(t);
    }
    g_bus.scl = scl;
    g_bus.sda = bus_sda();
}

} // namespace emu::detail

namespace emu {

void i2c_attach(uint8_t addr7, dev::I2cDevice *device) {
    detail::g_bus.devices[addr7] = device;
}
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn) {
    detail::g_bus.listener = std::move(fn);
}

} // namespace emu
