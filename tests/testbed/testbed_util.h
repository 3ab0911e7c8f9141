// Small helpers shared by the testbed's own tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/simhost.h"

namespace testbed_test {

// Splits text into lines (without the newlines); a last empty line is dropped.
std::vector<std::string> lines_of(const std::string &text);

// A host with one lvmthin storage "local-lvm" (pool "data") and one thick
// storage "thick", both in the host VG.
class host_test : public ::testing::Test {
protected:
    void SetUp() override;

    // Runs a fake (found on the host's PATH) with arguments.
    vlt_test::run_result tool(const std::string &name, const std::vector<std::string> &args) {
        return host_.run(name, args, {}, 30000);
    }
    // The listing our backup program asks for.
    vlt_test::run_result lvs_listing() {
        return tool("lvs", {"--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o",
                            "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor"});
    }
    // "major|minor" of the device node behind a path (following links).
    static std::string dev_numbers(const std::string &path);

    vlt_test::sim_host host_;
};

}  // namespace testbed_test
