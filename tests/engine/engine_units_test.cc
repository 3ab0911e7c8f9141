// Pieces of the engine that the programs' behaviour does not show directly:
// the memory bound of chunks in flight, size texts and run base names.
#include <gtest/gtest.h>

#include <string>

#include "engine/chunk_pool.h"
#include "engine/engine_util.h"
#include "engine/run_format.h"

TEST(EngineUnits, ChunksInFlightStayWithinTheMemoryBudget) {
    const uint64_t chunk = 2097152, bound = 2105376;  // 2 MiB and roughly its zstd bound
    EXPECT_EQ(engine::slot_count_for(2, chunk, bound), 4u);
    EXPECT_EQ(engine::slot_count_for(8, chunk, bound), 15u);
    EXPECT_EQ(engine::slot_count_for(256, chunk, bound), 15u);
    EXPECT_LE(engine::slot_count_for(256, chunk, bound) * (chunk + bound), 64ull << 20);
    EXPECT_EQ(engine::slot_count_for(1, chunk, 0), 2u);
    EXPECT_EQ(engine::slot_count_for(64, 64u << 20, 64u << 20), 2u);  // never fewer than two
}

TEST(EngineUnits, SizeTexts) {
    struct {
        const char *text;
        int rc;
        uint64_t value;
    } cases[] = {{"4096", 0, 4096},       {"64K", 0, 65536},        {"64k", 0, 65536}, {"2M", 0, 2097152},
                 {"2MiB", 0, 2097152},    {"1G", 0, 1073741824},    {"2MB", 0, 2097152}, {"", -1, 0},
                 {"M", -1, 0},            {"2X", -1, 0},            {"2Mx", -1, 0},      {"-4096", -1, 0},
                 {" 4096", -1, 0},        {"18446744073709551615", 0, UINT64_MAX},
                 {"18446744073709551616", -1, 0}, {"17179869184G", -1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t v = 12345;
        EXPECT_EQ(engine::parse_size(c.text, &v), c.rc);
        EXPECT_EQ(v, c.rc == 0 ? c.value : 12345u);
    }
}

TEST(EngineUnits, RunBaseNamesAndChunkLengths) {
    char buf[64];
    ASSERT_EQ(engine::format_run_base("/b", "vm1-scsi0", 1700000000, 1, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/b/vm1-scsi0-202311142213");
    ASSERT_EQ(engine::format_run_base("/b", "vm1-scsi0", 1700000000, 1000, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/b/vm1-scsi0-202311142213-1000");
    EXPECT_EQ(engine::format_run_base("/b", std::string(60, 'j').c_str(), 0, 1, buf, sizeof buf), -1);

    EXPECT_EQ(engine::chunk_count(0, 4096), 0u);
    EXPECT_EQ(engine::chunk_count(4096, 4096), 1u);
    EXPECT_EQ(engine::chunk_count(4097, 4096), 2u);
    EXPECT_EQ(engine::chunk_raw_length(4097, 4096, 0), 4096u);
    EXPECT_EQ(engine::chunk_raw_length(4097, 4096, 1), 1u);
    EXPECT_EQ(engine::chunk_raw_length(4097, 4096, 2), 0u);
}
