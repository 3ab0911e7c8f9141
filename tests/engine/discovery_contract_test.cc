// Runs written by vlt_agent are found by the restore program's own job
// discovery: a backup set with the newest run of each job up to its
// configuration run, the host name and the right source sizes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine_test_util.h"
#include "restore/backup_sets.h"
#include "restore/discovery.h"

using namespace engine_test;

namespace {

void backup(const std::string &src, const std::string &out, const std::string &job, const char *time) {
    tool_result r = run_agent({"--source", src, "--snapshot", "off", "--name", job, "--out", out, "--no-progress",
                               "--block-size", "64K"},
                              {{"VLT_AGENT_FIXED_TIME", time}});
    ASSERT_EQ(r.status, 0) << r.err;
}

}  // namespace

TEST(DiscoveryContract, AgentRunsAreFoundNewestFirst) {
    scratch_dir dir;
    std::string disk_old = dir.file("disk-old"), disk_new = dir.file("disk-new"), conf = dir.file("conf");
    write_file(disk_old, random_bytes(70000, 1));
    write_file(disk_new, random_bytes(140001, 2));
    write_file(conf, "memory: 512\nscsi0: local-lvm:vm-100-disk-0,size=1G\n");
    std::string out = dir.file("backup");
    mkdir(out.c_str(), 0700);
    backup(disk_new, out, "vm100-scsi0", "1700000600");
    backup(disk_old, out, "vm100-scsi0", "1700000000");
    backup(disk_old, out, "vm100-scsi0", "1700000000");  // same minute: counter 2
    backup(conf, out, "vm100-vmconfig", "1700000600");
    backup(conf, out, "vm1000-vmconfig", "1700009000");  // another prefix

    backup_catalog cat;
    char err[256] = "";
    ASSERT_EQ(find_backup_sets(out.c_str(), "vm100", &cat, err, sizeof err), 0) << err;
    std::unique_ptr<backup_catalog, void (*)(backup_catalog *)> release(&cat, free_backup_catalog);
    ASSERT_EQ(cat.count, 1u);
    const backup_job_set &set = cat.sets[0];
    ASSERT_EQ(set.slot_count, 1u);
    EXPECT_STREQ(set.slots[0].name, "scsi0");
    EXPECT_EQ(std::string(set.slots[0].header_path), out + "/vm100-scsi0-202311142223.infb");
    EXPECT_EQ(set.slots[0].source_size, 140001u);
    EXPECT_EQ(std::string(set.vmconfig_header_path), out + "/vm100-vmconfig-202311142223.infb");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::string(set.host), std::string(host).substr(0, 63));

    std::unique_ptr<uint8_t[]> buf(new uint8_t[RUN_HEADER_SIZE]);
    ASSERT_EQ(read_run_header(set.slots[0].header_path, buf.get()), 0);
    EXPECT_EQ(run_header_source_size(buf.get()), 140001u);
    EXPECT_EQ(run_header_creation_time(buf.get()), 1700000600);
    char name[JOB_NAME_SIZE];
    run_header_job_name(buf.get(), name);
    EXPECT_STREQ(name, "vm100-scsi0");
    ASSERT_EQ(read_run_header((out + "/vm100-scsi0-202311142213-2.infb").c_str(), buf.get()), 0);
    EXPECT_EQ(run_header_source_size(buf.get()), 70000u);
}
