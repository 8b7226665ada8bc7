// The development flag is read once per process, so each case runs in a
// process of its own.
#include "RegistryTestSupport.h"

#include "config/DevelopmentMode.h"
#include "config/Registry.h"

#include <cstdio>

using Varnix::developmentMagicNumber;
using Varnix::isDevelopmentMode;

namespace {

constexpr int on = 3;
constexpr int off = 4;

class DevelopmentModeTest : public ConfigTest::RegistryFileTestBase {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork
        VarnixTest::TempDirectoryTest::SetUp();
    }

    void useDevelopmentVer(const std::string& data) {
        useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"developmentVer\"=" + data + "\n");
    }

    // Ends the test's own process; TearDown does not run there.
    [[noreturn]] void exitWith(int code) {
        TearDown();
        std::exit(code);
    }

    [[noreturn]] void exitWithMode() { exitWith(isDevelopmentMode() ? on : off); }
};

TEST_F(DevelopmentModeTest, MagicNumberTurnsItOn) {
    char data[32];
    std::snprintf(data, sizeof data, "dword:%08x", developmentMagicNumber);
    useDevelopmentVer(data);
    EXPECT_EXIT(exitWithMode(), testing::ExitedWithCode(on), "");
}

TEST_F(DevelopmentModeTest, MissingValueIsOff) {
    useRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"other\"=dword:56524e58\n");
    EXPECT_EXIT(exitWithMode(), testing::ExitedWithCode(off), "");
}

TEST_F(DevelopmentModeTest, EightBytesAreOffEvenWhenTheyStartWithTheMagicNumber) {
    useDevelopmentVer("hex(b):58,4e,52,56,00,00,00,00");
    EXPECT_EXIT(exitWithMode(), testing::ExitedWithCode(off), "");
}

TEST_F(DevelopmentModeTest, AnotherNumberIsOff) {
    useDevelopmentVer("dword:56524e59");
    EXPECT_EXIT(exitWithMode(), testing::ExitedWithCode(off), "");
}

TEST_F(DevelopmentModeTest, TheFirstAnswerHoldsForTheProcess) {
    useDevelopmentVer("dword:00000001");
    std::string later = pathOf("later.reg");
    std::ofstream(later) << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnix]\n\"developmentVer\"=dword:56524e58\n";
    EXPECT_EXIT(
        {
            bool first = isDevelopmentMode();
            setenv("VARNIX_REGISTRY", later.c_str(), 1);
            std::uint32_t value = 0;
            bool changed = readRegistryDword(Varnix::String("SOFTWARE/Varnix"), u"developmentVer", value) &&
                           value == developmentMagicNumber;
            exitWith(!first && changed && !isDevelopmentMode() ? off : 1);
        },
        testing::ExitedWithCode(off), "");
}

}  // namespace
