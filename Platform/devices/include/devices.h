// What a device outside the microcontroller sees of it: the wires of its bus and the world's time.
// The Si5351 model, the GNSS receiver and the console terminal are written against these
// interfaces only, so the same models serve every MCU that offers them (the virtual MCU of the PC
// build today).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace dev {

// The world's time, and device code run at a chosen moment of it (in time order with the MCU's
// own events; ties after them).
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t now_ns() const = 0;
    virtual void at(uint64_t t_ns, std::function<void(uint64_t t_ns)> fn) = 0;
};

// A device on an I2C bus, as the master's transfers reach it: START with the address byte (write
// direction), the bytes written after it, STOP. Returning true acknowledges. A read is a START with
// the address byte in the read direction (i2c_start_read; true acknowledges), then each byte the
// master clocks in comes from i2c_read, `ack` telling whether the master acknowledged it (not the
// last one); a device that does not read acknowledges no read.
class I2cDevice {
  public:
    virtual ~I2cDevice() = default;
    virtual bool i2c_start(uint64_t t_ns) = 0;
    virtual bool i2c_write(uint8_t byte, uint64_t t_ns) = 0;
    virtual void i2c_stop(uint64_t t_ns) = 0;
    virtual bool i2c_start_read(uint64_t /*t_ns*/) { return false; }
    virtual uint8_t i2c_read(bool /*ack*/, uint64_t /*t_ns*/) { return 0xFF; }
    // True while the device pulls SDA low on its own (as after a reset in the middle of a read),
    // and one clock pulse on SCL, which lets it move on. A device that never holds the bus needs
    // neither.
    virtual bool holds_sda() const { return false; }
    virtual void scl_pulse(uint64_t /*t_ns*/) {}
};

// The wire from a device to the MCU's receive pin: bytes sent back to back at a baud rate, the
// first no earlier than at_ns (nor before the bytes already on their way are through). A byte
// reaches the MCU when its stop bit ends.
class UartLine {
  public:
    virtual ~UartLine() = default;
    virtual void send(const uint8_t *data, size_t n, uint64_t at_ns, uint32_t baud) = 0;
    // When the line will have delivered everything queued, and how many bytes are still queued.
    virtual uint64_t free_ns() const = 0;
    virtual size_t queued() const = 0;
};

// A clock line into the MCU (the Si5351's CLK0 on a timer's external clock input): how many rising
// edges it has had from the world's time 0 up to and including t_ns, exact, however fast it runs.
class ClockLine {
  public:
    virtual ~ClockLine() = default;
    virtual uint64_t edges_until(uint64_t t_ns) = 0;
};

// A device on a UART: it talks through the line it is connected with and hears every byte the
// MCU transmits as that byte's stop bit ends.
class UartDevice {
  public:
    virtual ~UartDevice() = default;
    virtual void uart_connected(UartLine & /*line*/, Clock & /*clock*/) {}
    virtual void uart_from_mcu(uint8_t /*byte*/, uint64_t /*t_ns*/) {}
};

} // namespace dev
