// Helpers of the testbed's own tests: running the driver and the fakes, reading
// their state files and device numbers.
#include "tests/testbed/testbed_util.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <sstream>

namespace testbed_test {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

void host_test::SetUp() {
    VLT_REQUIRE_SIM_HOST(host_);
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host_.add_storage("thick", "lvm"));
}

std::string host_test::dev_numbers(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    return std::to_string(major(st.st_rdev)) + "|" + std::to_string(minor(st.st_rdev));
}

}  // namespace testbed_test
