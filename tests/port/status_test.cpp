// The platform layer's one error shape, filled by real failing calls.
#include "port/binaryfile.h"
#include "port/status.h"
#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

using namespace Varnix::Port;

namespace {

class StatusTest : public VarnixTest::TempDirectoryTest {};

// What the systems say for a missing file (POSIX; Windows; Wine).
const std::set<std::string> notFoundTexts = {"No such file or directory", "The system cannot find the file specified",
                                             "File not found"};

TEST_F(StatusTest, OkIsEmptyAndAFailureCarriesTheSystemsCodeAndText) {
    std::u16string missing = VarnixTest::portPath(directory / "missing.bin");
    Status notFound = BinaryFile().openForReading(missing.c_str());
    Status copied = notFound;

    struct Case {
        const char* name;
        Status status;
        bool ok;
        bool notFound;
    };
    for (const Case& c :
         {Case{"ok", Status(), true, false}, Case{"missing file", notFound, false, true},
          Case{"copy of it", copied, false, true}, Case{"own words", Status::withText(110, "timed out"), false, false},
          Case{"no words", Status::withText(5, ""), false, false}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.ok, c.status.isOk());
        EXPECT_EQ(c.notFound, c.status.isNotFound());
        EXPECT_EQ(c.ok, c.status.code() == 0);
        EXPECT_EQ(c.ok, c.status.text().empty());
        EXPECT_EQ(std::string::npos, c.status.text().find_first_of("\r\n")) << c.status.text();
        EXPECT_TRUE(c.ok || c.status.text().back() != '.') << c.status.text();
    }
    EXPECT_EQ(1u, notFoundTexts.count(notFound.text())) << notFound.text();
    EXPECT_EQ(notFound.text(), Status::fromSystem(notFound.code()).text());
    EXPECT_EQ("timed out", Status::withText(110, "timed out").text());
    EXPECT_EQ("error 5", Status::withText(5, "").text());
}

TEST_F(StatusTest, AResultHoldsItsValueOrItsFailure) {
    Result<std::unique_ptr<int>> made(std::make_unique<int>(7));
    ASSERT_TRUE(made.isOk());
    std::unique_ptr<int> taken = made.take();
    EXPECT_EQ(7, *taken);

    Result<std::unique_ptr<int>> failed(Status::withText(110, "timed out"));
    EXPECT_FALSE(failed.isOk());
    EXPECT_EQ(nullptr, failed.value());
    EXPECT_EQ("timed out", failed.status().text());
}

}  // namespace
