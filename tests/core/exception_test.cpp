#include "core/Exception.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Varnix::Exception;
using Varnix::String;

TEST(Exception, FileErrorNamesThePathWithCode456) {
    Exception error = Exception::fileError(String(u"drData/DrConfig.txt"));
    EXPECT_EQ(456, error.getCode());
    EXPECT_STREQ("Cannot open/read/write file 'drData/DrConfig.txt'", error.what());
    String message = error.getMessage();
    EXPECT_EQ(String("Cannot open/read/write file 'drData/DrConfig.txt'"), message);
}

TEST(Exception, CopiesAreDeepAndCaughtAsStdException) {
    try {
        std::unique_ptr<Exception> original(new Exception(String(u"first"), 7));
        original->what();
        Exception copy(*original);
        original.reset();  // the copy owns its own text
        EXPECT_STREQ("first", copy.what());
        EXPECT_EQ(7, copy.getCode());
        throw copy;
    } catch (const std::exception& caught) {
        EXPECT_STREQ("first", caught.what());
        const Exception* ours = dynamic_cast<const Exception*>(&caught);
        ASSERT_NE(nullptr, ours);
        EXPECT_EQ(7, ours->getCode());
    }
}

TEST(Exception, DeletesThroughThePolymorphicRoot) {
    Varnix::Polymorphic* root = new Exception(String(u"heap"), 1);
    EXPECT_STREQ("heap", dynamic_cast<Exception*>(root)->what());
    delete root;
}
