// The long FST4W periods through jt9: one FST4W-900 frame (on 630 m) and one FST4W-1800 frame (on
// 2200 m), each recorded over its whole period. Labelled `long`: ctest -LE long leaves them out.
#include "fst4w_decode.h"

using namespace fst4w_decode;

namespace {

void ExpectPeriodDecodes(unsigned period_s, uint64_t base_hz) {
    ASSERT_TRUE(HaveJt9()) << "jt9 not found: scripts/ensure-deps.sh decode installs wsjtx";
    const std::string dir = TempFolder("fst4w_long_");
    ASSERT_FALSE(dir.empty());
    const std::string wav = Record(dir, period_s,
                                   "100 type set freq " + std::to_string(base_hz) +
                                       "\n200 type set call K1ABC\n300 type set grid FN42\n"
                                       "400 type set power 37\n",
                                   "--snr -30");
    ExpectDecode(Jt9(dir, period_s, {wav}), "K1ABC FN42 37");
    Shell("rm -rf " + dir);
}

TEST(Jt9DecodesLong, Fst4w900On630m) {
    ExpectPeriodDecodes(900, 475700);
}

TEST(Jt9DecodesLong, Fst4w1800On2200m) {
    ExpectPeriodDecodes(1800, 137500);
}

} // namespace
