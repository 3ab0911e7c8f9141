// Job discovery: header checks, directory scans with their warnings, the
// backup sets of a prefix, prefixes and slot names, and runs the reference
// agent wrote.
#include "restore/discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/runner.h"
#include "restore/backup_sets.h"
#include "tests/restore_parts/parts_util.h"

using parts_test::header_fields;
using parts_test::scratch_dir;
using parts_test::stderr_capture;
using parts_test::write_header;

namespace {

class discovery_test : public testing::Test {
protected:
    void SetUp() override {
        log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO);
        ASSERT_FALSE(dir_.path().empty());
    }

    // Writes a header for job at the given time into name.
    void add(const std::string &name, const std::string &job, int64_t time = 1000,
             const std::string &host = "host") {
        header_fields f;
        f.job_name = job;
        f.creation_time = time;
        f.host_name = host;
        ASSERT_TRUE(write_header(dir_.file(name), f));
    }

    std::vector<header_scan_entry> scan(int32_t *st) {
        header_scan_entry *rows = nullptr;
        uint64_t count = 99;
        *st = scan_backup_dir(dir_.path().c_str(), &rows, &count);
        std::vector<header_scan_entry> out;
        if (*st == 0) out.assign(rows, rows + count);
        free(rows);
        return out;
    }

    // The backup sets of a prefix; freed with the fixture (or the next find).
    int32_t find(const std::string &prefix, const backup_catalog **cat = nullptr) {
        err_[0] = '\0';
        free_backup_catalog(&cat_);
        int32_t rc = find_backup_sets(dir_.path().c_str(), prefix.c_str(), &cat_, err_, sizeof err_);
        if (cat != nullptr) *cat = &cat_;
        return rc;
    }
    void TearDown() override { free_backup_catalog(&cat_); }

    // "<slot>=<header file name>" of every disk run of set i, by slot.
    std::vector<std::string> disks_of(uint64_t i) const {
        std::vector<std::string> out;
        const backup_job_set &set = cat_.sets[i];
        for (uint64_t k = 0; k < set.slot_count; ++k)
            out.push_back(std::string(set.slots[k].name) + "=" +
                          std::string(set.slots[k].header_path).substr(dir_.path().size() + 1));
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string config_of(uint64_t i) const {
        return std::string(cat_.sets[i].vmconfig_header_path).substr(dir_.path().size() + 1);
    }

    backup_catalog cat_{};

    scratch_dir dir_;
    char err_[512];
    uint8_t buf_[RUN_HEADER_SIZE];
};

TEST(header_file_name, extensions) {
    EXPECT_TRUE(is_header_file_name("vm100-scsi0-202401010000.infb"));
    EXPECT_TRUE(is_header_file_name("a.indb"));
    EXPECT_TRUE(is_header_file_name("a.inib"));
    EXPECT_TRUE(is_header_file_name(".infb"));
    EXPECT_FALSE(is_header_file_name("infb"));
    EXPECT_FALSE(is_header_file_name("a.csfb"));
    EXPECT_FALSE(is_header_file_name("a.csdb"));
    EXPECT_FALSE(is_header_file_name("a.infb.tmp"));
    EXPECT_FALSE(is_header_file_name("a.INFB"));
    EXPECT_FALSE(is_header_file_name("a.inf"));
    EXPECT_FALSE(is_header_file_name(""));
}

TEST_F(discovery_test, read_header_checks_length_magic_and_version) {
    struct {
        const char *what;
        header_fields f;
        int32_t status;
    } cases[] = {
        {"valid", {}, 0},
        {"4095 bytes", {}, -7},
        {"4096 bytes, length 4096", {}, 0},
        {"no magic", {}, -7},
        {"version 2", {}, -6},
        {"version 2, length 100", {}, -7},
        {"length 4095", {}, -7},
        {"length 200000", {}, -7},
        {"length 4194305", {}, -7},
        {"length 131072 in an 8192-byte file", {}, -7},
        {"version 0", {}, 0},
    };
    cases[1].f.file_size = 4095;
    cases[1].f.header_length = 4096;
    cases[2].f.file_size = 4096;
    cases[2].f.header_length = 4096;
    cases[3].f.magic = false;
    cases[4].f.version = 2;
    cases[5].f.version = 2;
    cases[5].f.header_length = 100;
    cases[6].f.header_length = 4095;
    cases[7].f.header_length = 200000;
    cases[8].f.header_length = 4194305;
    cases[9].f.file_size = 8192;
    cases[10].f.version = 0;
    for (const auto &c : cases) {
        std::string path = dir_.file("h.infb");
        ASSERT_TRUE(write_header(path, c.f));
        EXPECT_EQ(read_run_header(path.c_str(), buf_), c.status) << c.what;
    }
}

TEST_F(discovery_test, read_header_fills_buffer_and_reports_open_failures) {
    header_fields f;
    f.file_size = 8192;
    f.header_length = 8192;
    f.source_size = 4194304;
    f.creation_time = -5;
    f.job_name = "vm7-tpmstate0";
    ASSERT_TRUE(write_header(dir_.file("short.infb"), f));
    memset(buf_, 0xAA, sizeof buf_);
    ASSERT_EQ(read_run_header(dir_.file("short.infb").c_str(), buf_), 0);
    EXPECT_EQ(buf_[8192], 0);
    EXPECT_EQ(buf_[RUN_HEADER_SIZE - 1], 0);
    EXPECT_EQ(run_header_source_size(buf_), 4194304u);
    EXPECT_EQ(run_header_creation_time(buf_), -5);
    char name[JOB_NAME_SIZE];
    run_header_job_name(buf_, name);
    EXPECT_STREQ(name, "vm7-tpmstate0");

    EXPECT_EQ(read_run_header(dir_.file("missing.infb").c_str(), buf_), -4);
    // A directory opens but cannot be read.
    ASSERT_EQ(mkdir(dir_.file("d.infb").c_str(), 0755), 0);
    EXPECT_EQ(read_run_header(dir_.file("d.infb").c_str(), buf_), -1);
}

TEST_F(discovery_test, job_name_is_never_taken_past_63_bytes) {
    header_fields f;
    f.job_name = std::string(63, 'a') + "bcdef";  // no terminator within 64 bytes
    ASSERT_TRUE(write_header(dir_.file("long.infb"), f));
    int32_t st;
    auto rows = scan(&st);
    ASSERT_EQ(st, 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::string(rows[0].job_name), std::string(63, 'a'));
}

TEST_F(discovery_test, scan_rows_carry_the_header_fields) {
    header_fields f;
    f.job_name = "vm100-scsi0";
    f.creation_time = 1733600000;
    f.run_kind = 2;
    f.run_id_fill = 0x42;
    f.parent_id_fill = 0x24;
    f.carried_value = 0x0102030405060708ULL;
    ASSERT_TRUE(write_header(dir_.file("vm100-scsi0-202412071200.inib"), f));
    int32_t st;
    auto rows = scan(&st);
    ASSERT_EQ(st, 0);
    ASSERT_EQ(rows.size(), 1u);
    const header_scan_entry &r = rows[0];
    EXPECT_EQ(std::string(r.path), dir_.file("vm100-scsi0-202412071200.inib"));
    EXPECT_EQ(r.run_kind, 2);
    EXPECT_EQ(std::string(r.job_name), "vm100-scsi0");
    EXPECT_EQ(r.creation_time, 1733600000);
    EXPECT_EQ(r.carried_value, 0x0102030405060708ULL);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(r.run_id[i], 0x42);
        EXPECT_EQ(r.parent_run_id[i], 0x24);
    }
}

TEST_F(discovery_test, scan_skips_bad_headers_with_warnings_and_ignores_other_files) {
    header_fields corrupt;
    corrupt.file_size = 4095;
    ASSERT_TRUE(write_header(dir_.file("short.infb"), corrupt));
    header_fields newer;
    newer.version = 2;
    ASSERT_TRUE(write_header(dir_.file("newer.indb"), newer));
    header_fields newer_small;
    newer_small.version = 2;
    newer_small.header_length = 100;
    ASSERT_TRUE(write_header(dir_.file("small.inib"), newer_small));
    // Valid headers under other names must never be read.
    add("vm100-scsi0.csfb", "vm100-scsi0");
    add("vm100-scsi0.infb.partial", "vm100-scsi0");
    add("notes.txt", "vm100-scsi0");
    // A header that vanished (dangling link) is skipped silently.
    ASSERT_EQ(symlink(dir_.file("gone").c_str(), dir_.file("gone.infb").c_str()), 0);
    add("good.infb", "vm100-scsi0");

    stderr_capture cap;
    int32_t st;
    auto rows = scan(&st);
    auto lines = cap.lines();
    ASSERT_EQ(st, 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::string(rows[0].path), dir_.file("good.infb"));
    std::vector<std::string> want = {
        "WARN skipping " + dir_.file("short.infb") + ": corrupt or incomplete header",
        "WARN skipping " + dir_.file("newer.indb") + ": newer format version",
        "WARN skipping " + dir_.file("small.inib") + ": corrupt or incomplete header",
    };
    std::sort(lines.begin(), lines.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(lines, want);
}

TEST_F(discovery_test, scan_skips_a_fifo_instead_of_waiting_for_a_writer) {
    ASSERT_EQ(mkfifo(dir_.file("pipe.infb").c_str(), 0600), 0);
    ASSERT_EQ(symlink(dir_.file("pipe.infb").c_str(), dir_.file("link.indb").c_str()), 0);
    add("good.infb", "vm100-scsi0");
    stderr_capture cap;
    int32_t st;
    auto rows = scan(&st);
    auto lines = cap.lines();
    EXPECT_EQ(st, 0);
    EXPECT_EQ(rows.size(), 1u);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "WARN skipping " + dir_.file("link.indb") + ": not a regular file",
                         "WARN skipping " + dir_.file("pipe.infb") + ": not a regular file",
                     }));
}

TEST_F(discovery_test, scan_of_missing_or_empty_directory_gives_no_rows) {
    header_scan_entry *rows = reinterpret_cast<header_scan_entry *>(1);
    uint64_t count = 7;
    stderr_capture cap;
    EXPECT_EQ(scan_backup_dir(dir_.file("nope").c_str(), &rows, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(rows, nullptr);
    int32_t st;
    EXPECT_TRUE(scan(&st).empty());
    EXPECT_EQ(st, 0);
    EXPECT_EQ(cap.text(), "");

    backup_catalog cat;
    memset(&cat, 0x5A, sizeof cat);
    EXPECT_EQ(find_backup_sets(dir_.file("nope").c_str(), "vm100", &cat, err_, sizeof err_), 0);
    EXPECT_EQ(cat.count, 0u);
    EXPECT_EQ(cat.run_count, 0u);
    free_backup_catalog(&cat);
}

TEST_F(discovery_test, scan_grows_past_sixteen_rows) {
    for (int i = 0; i < 40; ++i)
        add("r" + std::to_string(i) + ".infb", "vm100-scsi" + std::to_string(i));
    int32_t st;
    auto rows = scan(&st);
    ASSERT_EQ(st, 0);
    ASSERT_EQ(rows.size(), 40u);
    std::vector<std::string> jobs;
    for (const auto &r : rows) jobs.push_back(r.job_name);
    std::sort(jobs.begin(), jobs.end());
    EXPECT_EQ(std::unique(jobs.begin(), jobs.end()), jobs.end());
}

TEST_F(discovery_test, unreadable_header_fails_the_discovery) {
    add("good.infb", "vm100-scsi0");
    // A directory opens but fails the read, as an unreadable file would
    // (root reads files whatever their mode).
    ASSERT_EQ(mkdir(dir_.file("vm100-scsi1.infb").c_str(), 0755), 0);
    stderr_capture cap;
    EXPECT_EQ(find("vm100"), -1);
    EXPECT_EQ(std::string(err_), "cannot scan " + dir_.path() + ": I/O error (status=-1)");
    EXPECT_EQ(cap.lines(),
              std::vector<std::string>{"ERROR cannot read backup header " +
                                       dir_.file("vm100-scsi1.infb") +
                                       " (I/O error, status=-1)"});
}

TEST_F(discovery_test, search_path_that_is_not_a_directory) {
    add("plain", "vm100-scsi0");
    stderr_capture cap;
    std::string path = dir_.file("plain");
    backup_catalog cat;
    EXPECT_EQ(find_backup_sets(path.c_str(), "vm100", &cat, err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "cannot scan " + path + ": I/O error (status=-1)");
    EXPECT_EQ(cap.lines(), std::vector<std::string>{"ERROR cannot open backup directory " +
                                                    path + ": Not a directory"});
}

TEST_F(discovery_test, each_set_takes_the_newest_run_of_its_span_whatever_the_directory_order) {
    // Swapping the times between the same files covers both orders.
    for (int swap = 0; swap < 2; ++swap) {
        add("a.infb", "vm100-scsi0", swap ? 2000 : 1000);
        add("b.infb", "vm100-scsi0", swap ? 1000 : 2000);
        add("b2.infb", "vm100-scsi0", 1900);
        add("c.infb", "vm100-vmconfig", swap ? 1500 : 3000);
        add("d.infb", "vm100-vmconfig", swap ? 3000 : 1500);
        const backup_catalog *cat;
        ASSERT_EQ(find("vm100", &cat), 0) << err_;
        ASSERT_EQ(cat->count, 2u);
        // Newest first: the runs after the older configuration run and up
        // to this one, the newest of them.
        EXPECT_EQ(cat->sets[0].created, 3000);
        EXPECT_EQ(config_of(0), swap ? "d.infb" : "c.infb");
        EXPECT_EQ(disks_of(0), std::vector<std::string>{swap ? "scsi0=a.infb" : "scsi0=b.infb"});
        EXPECT_EQ(cat->sets[1].created, 1500);
        EXPECT_EQ(config_of(1), swap ? "c.infb" : "d.infb");
        EXPECT_EQ(disks_of(1), std::vector<std::string>{swap ? "scsi0=b.infb" : "scsi0=a.infb"});
        EXPECT_STREQ(cat->sets[0].host, "host");
        EXPECT_EQ(cat->host_count, 1u);
        EXPECT_EQ(cat->sets[0].slots[0].source_size, 34359738368ULL);
    }
}

TEST_F(discovery_test, equal_times_keep_the_first_run_listed) {
    add("x1.infb", "vm100-scsi0", 1000);
    add("x2.indb", "vm100-scsi0", 1000);
    add("x3.inib", "vm100-scsi0", 1000);
    add("v1.infb", "vm100-vmconfig", 1000);
    std::string first_disk;
    for (const std::string &n : parts_test::dir_order(dir_.path()))
        if (first_disk.empty() && n[0] == 'x') first_disk = n;
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 1u);
    // A disk run as old as its configuration run belongs to its backup.
    EXPECT_EQ(disks_of(0), std::vector<std::string>{"scsi0=" + first_disk});
}

TEST_F(discovery_test, prefix_matching_and_slot_names) {
    add("a.infb", "vm100-scsi0");
    add("b.infb", "vm100-x-scsi0");   // the jobs of prefix vm100-x, not of vm100
    add("c.infb", "vm100-");          // the prefix and a hyphen alone
    add("d.infb", "vm100");           // no hyphen at all
    add("e.infb", "vm1000-scsi1");    // another VM's prefix
    add("f.infb", "vm100-vmconfig");
    add("g.infb", "vm100-efidisk0");
    add("h.infb", "vm100-x-vmconfig");
    add("i.infb", "vm100-net0");      // no disk slot
    // A slot name the backup never writes: it cuts slot names to 23
    // characters. Such a run is no run of the slot of its first 23.
    add("j.infb", "vm100-scsi" + std::string(20, '1'));
    add("k.infb", "vm100-scsi" + std::string(19, '1'));

    const backup_catalog *cat;
    ASSERT_EQ(find("vm1", &cat), 0) << err_;
    EXPECT_EQ(cat->count, 0u);
    EXPECT_EQ(cat->run_count, 0u);

    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 1u);
    EXPECT_EQ(cat->run_count, 4u);
    EXPECT_EQ(config_of(0), "f.infb");
    EXPECT_EQ(disks_of(0), (std::vector<std::string>{"efidisk0=g.infb", "scsi0=a.infb",
                                                     "scsi" + std::string(19, '1') + "=k.infb"}));
    const job_slot *s = find_job_slot(&cat->sets[0], "scsi0");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->header_path), dir_.file("a.infb"));
    EXPECT_EQ(find_job_slot(&cat->sets[0], "scsi1"), nullptr);

    ASSERT_EQ(find("vm100-x", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 1u);
    EXPECT_EQ(disks_of(0), std::vector<std::string>{"scsi0=b.infb"});
}

TEST_F(discovery_test, slots_appear_in_scan_order) {
    for (int i = 0; i < 6; ++i) add("s" + std::to_string(i) + ".infb", "vm9-ide" + std::to_string(i));
    add("conf.infb", "vm9-vmconfig");
    int32_t st;
    auto rows = scan(&st);
    ASSERT_EQ(st, 0);
    const backup_catalog *cat;
    ASSERT_EQ(find("vm9", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 1u);
    ASSERT_EQ(cat->sets[0].slot_count, 6u);
    size_t k = 0;
    for (const auto &row : rows) {
        if (std::string(row.job_name) == "vm9-vmconfig") continue;
        EXPECT_EQ(std::string("vm9-") + cat->sets[0].slots[k++].name, std::string(row.job_name));
    }
}

TEST_F(discovery_test, at_most_32_distinct_slots_in_a_set) {
    for (int i = 0; i < 32; ++i) add("s" + std::to_string(i) + ".infb", "vm100-scsi" + std::to_string(i));
    add("again.infb", "vm100-scsi5", 1001);  // a newer run of a known slot is no new slot
    add("conf.infb", "vm100-vmconfig", 2000);
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    EXPECT_EQ(cat->sets[0].slot_count, 32u);
    EXPECT_EQ(std::string(find_job_slot(&cat->sets[0], "scsi5")->header_path), dir_.file("again.infb"));

    add("s32.infb", "vm100-scsi32");
    EXPECT_EQ(find("vm100"), -1);
    EXPECT_STREQ(err_, "more than 32 distinct disk slots match prefix 'vm100'");
}

TEST_F(discovery_test, prefix_length_limit) {
    std::string p94(94, 'p'), p95(95, 'p');
    add("a.infb", p94.substr(0, 54) + "-scsi0");
    add("b.infb", p94.substr(0, 54) + "-vmconfig");
    EXPECT_EQ(find(p94), 0) << err_;
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(find(p95), -1);
    EXPECT_STREQ(err_, "job prefix is too long");
    // A 54-character prefix still fits the 63 characters of a job name
    // with "-vmconfig".
    const backup_catalog *cat;
    ASSERT_EQ(find(p94.substr(0, 54), &cat), 0) << err_;
    ASSERT_EQ(cat->count, 1u);
    EXPECT_EQ(disks_of(0), std::vector<std::string>{"scsi0=a.infb"});
}

// Three backups, the second without its scsi1 run: no set borrows a run
// of another backup, whatever the times of the others.
TEST_F(discovery_test, a_set_never_takes_another_backups_run) {
    add("1-scsi0.infb", "vm100-scsi0", 1000);
    add("1-scsi1.infb", "vm100-scsi1", 1003);
    add("1-conf.infb", "vm100-vmconfig", 1005);
    add("2-scsi0.infb", "vm100-scsi0", 2000);
    add("2-conf.infb", "vm100-vmconfig", 2004);
    add("3-scsi0.infb", "vm100-scsi0", 3000);
    add("3-scsi1.infb", "vm100-scsi1", 3002);
    add("3-conf.infb", "vm100-vmconfig", 3002);
    // A fourth backup under way: its first disk is written, its
    // configuration run is not.
    add("4-scsi0.infb", "vm100-scsi0", 4000);
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 3u);
    EXPECT_EQ(disks_of(0), (std::vector<std::string>{"scsi0=3-scsi0.infb", "scsi1=3-scsi1.infb"}));
    EXPECT_EQ(disks_of(1), std::vector<std::string>{"scsi0=2-scsi0.infb"});
    EXPECT_EQ(disks_of(2), (std::vector<std::string>{"scsi0=1-scsi0.infb", "scsi1=1-scsi1.infb"}));
}

// A clock set back during a backup stamps its last disk run after its
// configuration run: up to 10 seconds later it still belongs to it, unless
// the backup has a run of that slot in its span already.
TEST_F(discovery_test, runs_a_few_seconds_after_their_configuration_run) {
    add("1-scsi0.infb", "vm100-scsi0", 1000);
    add("1-tpm.infb", "vm100-tpmstate0", 1013);
    add("1-tpm-late.infb", "vm100-tpmstate0", 1015);
    add("1-conf.infb", "vm100-vmconfig", 1005);
    add("1-far.infb", "vm100-scsi1", 1016);  // 11 seconds: a later backup's
    add("2-scsi0.infb", "vm100-scsi0", 1012);  // late, but the set has its own scsi0
    add("2-scsi1.infb", "vm100-scsi1", 5000);
    add("2-conf.infb", "vm100-vmconfig", 5001);
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 2u);
    EXPECT_EQ(disks_of(1), (std::vector<std::string>{"scsi0=1-scsi0.infb", "tpmstate0=1-tpm.infb"}));
    // The second set's span starts after the first configuration run.
    EXPECT_EQ(disks_of(0), (std::vector<std::string>{"scsi0=2-scsi0.infb", "scsi1=2-scsi1.infb",
                                                     "tpmstate0=1-tpm-late.infb"}));
}

// A damaged header may hold any time: the times far apart are compared
// without overflow (the sanitizer build reports one), and a run at the other
// end of the range is no late run of the set.
TEST_F(discovery_test, times_at_both_ends_of_the_range) {
    add("a-conf.infb", "vm100-vmconfig", INT64_MIN);
    add("a-scsi0.infb", "vm100-scsi0", INT64_MAX);
    add("b-scsi1.infb", "vm100-scsi1", INT64_MIN);
    add("b-conf.infb", "vm100-vmconfig", INT64_MAX - 5);
    add("c-scsi1.infb", "vm100-scsi1", INT64_MIN + 3);
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 2u);
    EXPECT_EQ(cat->sets[0].created, INT64_MAX - 5);
    EXPECT_EQ(disks_of(0), (std::vector<std::string>{"scsi0=a-scsi0.infb", "scsi1=c-scsi1.infb"}));
    EXPECT_EQ(cat->sets[1].created, INT64_MIN);
    EXPECT_EQ(disks_of(1), (std::vector<std::string>{"scsi1=b-scsi1.infb"}));
}

// Two hosts back up into one directory under the same prefix: each host's
// runs make its own sets, cut at its own configuration runs.
TEST_F(discovery_test, runs_of_another_host_are_never_mixed_in) {
    add("a-scsi0.infb", "vm100-scsi0", 1000, "pve1");
    add("a-scsi1.infb", "vm100-scsi1", 1001, "pve1");
    add("b-scsi0.infb", "vm100-scsi0", 1002, "pve2");
    add("b-conf.infb", "vm100-vmconfig", 1003, "pve2");
    add("a-conf.infb", "vm100-vmconfig", 1004, "pve1");
    add("c-scsi0.infb", "vm100-scsi0", 2000, "pve2");
    add("c-conf.infb", "vm100-vmconfig", 2001, "pve2");
    const backup_catalog *cat;
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 3u);
    EXPECT_EQ(cat->host_count, 2u);
    EXPECT_STREQ(cat->sets[0].host, "pve2");
    EXPECT_EQ(disks_of(0), std::vector<std::string>{"scsi0=c-scsi0.infb"});
    EXPECT_STREQ(cat->sets[1].host, "pve1");
    EXPECT_EQ(disks_of(1), (std::vector<std::string>{"scsi0=a-scsi0.infb", "scsi1=a-scsi1.infb"}));
    EXPECT_STREQ(cat->sets[2].host, "pve2");
    EXPECT_EQ(disks_of(2), std::vector<std::string>{"scsi0=b-scsi0.infb"});

    // Equal times: the host names order them.
    add("d-conf.infb", "vm100-vmconfig", 2001, "pve1");
    ASSERT_EQ(find("vm100", &cat), 0) << err_;
    ASSERT_EQ(cat->count, 4u);
    EXPECT_STREQ(cat->sets[0].host, "pve1");
    EXPECT_EQ(disks_of(0), std::vector<std::string>{});
    EXPECT_STREQ(cat->sets[1].host, "pve2");
}

}  // namespace

namespace {

// Runs written by the reference agent, started as a program.
class agent_runs_test : public testing::Test {
protected:
    void SetUp() override {
#ifndef VLT_AGENT_PATH
        GTEST_SKIP() << "vlt_agent is not part of this build";
#else
        log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO);
        ASSERT_FALSE(out_.path().empty());
        ASSERT_FALSE(src_.path().empty());
#endif
    }

    // Backs up a source of size bytes as job, with the agent's clock set to
    // `created` (seconds since 1970). Returns the run header file the agent
    // added to the output directory, or "" when it failed.
    std::string backup(const std::string &job, size_t size, int64_t created) {
#ifdef VLT_AGENT_PATH
        std::string source = src_.file(job + ".src");
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + size) & 0xff);
        if (!parts_test::write_file(source, data)) return "";
        const char *argv[] = {VLT_AGENT_PATH, "--source", source.c_str(), "--snapshot", "off",
                              "--name", job.c_str(), "--out", out_.path().c_str(),
                              "--threads", "1", "--no-progress", nullptr};
        std::vector<std::string> before = vlt_test::list_dir(out_.path());
        setenv("VLT_AGENT_FIXED_TIME", std::to_string(created).c_str(), 1);
        char output[4096];
        command_result res{};
        int32_t rc = run_command(argv, 60, output, sizeof output, &res);
        unsetenv("VLT_AGENT_FIXED_TIME");
        if (rc != 0 || res.exit_code != 0) {
            ADD_FAILURE() << "vlt_agent failed for " << job << ": " << output;
            return "";
        }
        for (const std::string &name : vlt_test::list_dir(out_.path()))
            if (is_header_file_name(name.c_str()) &&
                std::find(before.begin(), before.end(), name) == before.end())
                return out_.file(name);
        ADD_FAILURE() << "vlt_agent left no run header for " << job;
        return "";
#else
        (void)job;
        (void)size;
        (void)created;
        return "";
#endif
    }

    scratch_dir out_, src_;
};

TEST_F(agent_runs_test, finds_the_jobs_the_agent_wrote) {
    // The newer scsi0 run is written first: neither the order of writing
    // nor the order of the directory decides, the creation time does.
    const int64_t day = 86400;
    std::string newer_scsi0 = backup("vm100-scsi0", (1 << 20) + 5, 1700000000 + day);
    std::string older_scsi0 = backup("vm100-scsi0", 3 << 20, 1700000000);
    std::string virtio1 = backup("vm100-virtio1", 4096 * 3 + 1, 1700000000);
    std::string older_config = backup("vm100-vmconfig", 300, 1700000000 - day);
    std::string config = backup("vm100-vmconfig", 517, 1700000000);
    ASSERT_FALSE(backup("vm1000-scsi0", 8192, 1700000000 + 2 * day).empty());
    for (const std::string &path : {newer_scsi0, older_scsi0, virtio1, older_config, config})
        ASSERT_FALSE(path.empty());

    // Every run left a header file the scan accepts, and nothing else counts.
    header_scan_entry *raw = nullptr;
    uint64_t count = 0;
    stderr_capture cap;
    ASSERT_EQ(scan_backup_dir(out_.path().c_str(), &raw, &count), 0);
    std::vector<header_scan_entry> rows(raw, raw + count);
    free(raw);
    EXPECT_EQ(cap.text(), "");
    ASSERT_EQ(rows.size(), 6u);
    for (const auto &r : rows) {
        EXPECT_TRUE(is_header_file_name(r.path)) << r.path;
        EXPECT_EQ(r.run_kind, 0);
    }

    backup_catalog cat;
    char err[256];
    ASSERT_EQ(find_backup_sets(out_.path().c_str(), "vm100", &cat, err, sizeof err), 0) << err;
    struct freed_at_end {
        backup_catalog *cat;
        ~freed_at_end() { free_backup_catalog(cat); }
    } release{&cat};
    // Two backups: the older one's configuration run alone, and the newer
    // one; the newest scsi0 run came after the last configuration run (a
    // backup still under way) and is in no set.
    ASSERT_EQ(cat.count, 2u);
    EXPECT_EQ(cat.sets[1].slot_count, 0u);
    EXPECT_EQ(std::string(cat.sets[1].vmconfig_header_path), older_config);
    const backup_job_set &set = cat.sets[0];
    ASSERT_EQ(set.slot_count, 2u);
    EXPECT_STREQ(set.host, cat.runs[0].host_name);
    const job_slot *scsi0 = find_job_slot(&set, "scsi0");
    const job_slot *slot1 = find_job_slot(&set, "virtio1");
    ASSERT_NE(scsi0, nullptr);
    ASSERT_NE(slot1, nullptr);
    EXPECT_EQ(std::string(scsi0->header_path), older_scsi0);
    EXPECT_EQ(std::string(slot1->header_path), virtio1);
    EXPECT_EQ(std::string(set.vmconfig_header_path), config);
    EXPECT_EQ(scsi0->source_size, 3u << 20);

    struct {
        const char *path;
        uint64_t size;
        const char *job;
    } want[] = {
        {scsi0->header_path, 3 << 20, "vm100-scsi0"},
        {slot1->header_path, 4096 * 3 + 1, "vm100-virtio1"},
        {set.vmconfig_header_path, 517, "vm100-vmconfig"},
    };
    static uint8_t header[RUN_HEADER_SIZE];
    for (const auto &w : want) {
        ASSERT_EQ(read_run_header(w.path, header), 0) << w.path;
        EXPECT_EQ(run_header_source_size(header), w.size) << w.path;
        char name[JOB_NAME_SIZE];
        run_header_job_name(header, name);
        EXPECT_STREQ(name, w.job);
        std::string base = out_.file(w.job) + "-";
        EXPECT_EQ(std::string(w.path).compare(0, base.size(), base), 0) << w.path;
    }
}

}  // namespace
