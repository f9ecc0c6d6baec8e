// The simulator's FST4W-120 and -300 recordings decode with jt9 on 2200 m, 630 m, 160 m and 20 m,
// as the configured message at the configured frequency; a compound callsign's type 2 and type 3
// frames decode as a pair; a two-digit suffix is read back as a suffix.
#include "fst4w_decode.h"

using namespace fst4w_decode;

namespace {

struct BandCase {
    const char *name;
    unsigned period_s;
    uint64_t base_hz; // the FST4W dial + 1500 Hz
};

void PrintTo(const BandCase &c, std::ostream *os) {
    *os << c.name;
}

class Jt9Decodes : public testing::TestWithParam<BandCase> {};

TEST_P(Jt9Decodes, TheConfiguredMessage) {
    ASSERT_TRUE(HaveJt9()) << "jt9 not found: scripts/ensure-deps.sh decode installs wsjtx";
    const BandCase &c = GetParam();
    const std::string dir = TempFolder("fst4w_decode_");
    ASSERT_FALSE(dir.empty());
    const std::string wav =
        Record(dir, c.period_s,
               "100 type set freq " + std::to_string(c.base_hz) +
                   "\n200 type set call K1ABC\n300 type set grid FN42\n400 type set power 37\n");
    ExpectDecode(Jt9(dir, c.period_s, {wav}), "K1ABC FN42 37");
    Shell("rm -rf " + dir);
}

INSTANTIATE_TEST_SUITE_P(Bands, Jt9Decodes,
                         testing::Values(BandCase{"fst4w_120_2200m", 120, 137500},
                                         BandCase{"fst4w_120_630m", 120, 475700},
                                         BandCase{"fst4w_120_160m", 120, 1838300},
                                         BandCase{"fst4w_120_20m", 120, 14097100},
                                         BandCase{"fst4w_300_2200m", 300, 137500},
                                         BandCase{"fst4w_300_630m", 300, 475700},
                                         BandCase{"fst4w_300_160m", 300, 1838300},
                                         BandCase{"fst4w_300_20m", 300, 14097100}),
                         [](const testing::TestParamInfo<BandCase> &info) {
                             return std::string(info.param.name);
                         });

// The type 2 frame and the type 3 frame after it, in one run of jt9: the type 3 names the call.
TEST(Jt9DecodesInTurn, CompoundCallsignTypeTwoThenTypeThree) {
    ASSERT_TRUE(HaveJt9()) << "jt9 not found: scripts/ensure-deps.sh decode installs wsjtx";
    const std::string dir = TempFolder("fst4w_pair_");
    ASSERT_FALSE(dir.empty());
    const std::string script =
        "100 type set freq 475700\n200 type set call PJ4/K1ABC\n300 type set grid FN42AB\n"
        "400 type set power 37\n";
    const std::string first = Record(dir, 120, script, "", 1);
    const std::string second = Record(dir, 120, script, "", 2);
    const Output both = Jt9(dir, 120, {first, second});
    ExpectDecode(both, "PJ4/K1ABC 37");
    ExpectDecode(both, "<PJ4/K1ABC> FN42AB");
    // Alone (jt9 in a folder of its own, with no callsigns heard), the type 3 frame has no
    // callsign to name.
    const std::string alone = TempFolder("fst4w_alone_");
    ASSERT_FALSE(alone.empty());
    ExpectDecode(Jt9(alone, 120, {second}), "<...> FN42AB");
    Shell("rm -rf " + dir + " " + alone);
}

TEST(Jt9DecodesInTurn, TwoDigitSuffix) {
    ASSERT_TRUE(HaveJt9()) << "jt9 not found: scripts/ensure-deps.sh decode installs wsjtx";
    const std::string dir = TempFolder("fst4w_suffix_");
    ASSERT_FALSE(dir.empty());
    const std::string wav =
        Record(dir, 120, "100 type set freq 137500\n200 type set call K1ABC/12\n");
    ExpectDecode(Jt9(dir, 120, {wav}), "K1ABC/12 10");
    Shell("rm -rf " + dir);
}

} // namespace
