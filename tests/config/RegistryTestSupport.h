#pragma once

#include "config/ConfigTestSupport.h"

#include <cstdlib>

namespace ConfigTest {

// A temporary directory whose registry file the test writes: the node's
// registry on POSIX systems is the file named by VARNIX_REGISTRY.
class RegistryFileTestBase : public VarnixTest::TempDirectoryTest {
protected:
    void SetUp() override {
        VarnixTest::TempDirectoryTest::SetUp();
        useRegistry("");
    }

    // Points the registry at a new file holding `bytes` exactly.
    std::string useRegistryBytes(const std::string& bytes) {
        std::string path = writeBytes("registry-" + std::to_string(++registryCount) + ".reg", bytes);
        setenv("VARNIX_REGISTRY", path.c_str(), 1);
        return path;
    }

    // Points the registry at a new export holding `body` after the header.
    std::string useRegistry(const std::string& body) {
        return useRegistryBytes("Windows Registry Editor Version 5.00\n\n" + body);
    }

    int registryCount = 0;
};

}  // namespace ConfigTest
