// An FST4W encoder of the tests' own, written from the protocol's description and apart from the
// firmware's: messages as the receiver prints them ("K1ABC FN42 37", "PJ4/K1ABC 37",
// "<PJ4/K1ABC> FK52UD"), bits as strings of '0' and '1', the LDPC generator read from its text in
// Tests/data/fst4w. Slow and plain on purpose.
#pragma once

#include <string>
#include <vector>

namespace fst4w_reference {

// The 50 message bits of a message text; empty when it is not one of the three forms.
std::string MessageBits(const std::string &message);
// The 24 CRC bits of 50 message bits.
std::string CrcBits(const std::string &message_bits);
// The 160 symbols as digits; empty when the message cannot be packed.
std::string Symbols(const std::string &message);

} // namespace fst4w_reference
