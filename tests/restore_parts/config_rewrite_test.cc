// The configuration rewrite: uuids and MACs, and every kind of line of a
// configuration as the new VM gets it.
#include "restore/config_rewrite.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/restore_parts/parts_util.h"

using parts_test::scratch_dir;
using parts_test::stderr_capture;
using parts_test::write_file;

namespace {

const char *const smbios_uuid = "5c0a3b1e-7d2f-4e6a-9b8c-0d1e2f3a4b5c";

// std::regex is avoided: g++ 12 warns inside it under the sanitizers.
bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A version-4 UUID in lower case starts at s[at].
bool uuid_at(const std::string &s, size_t at) {
    if (s.size() < at + 36) return false;
    for (size_t i = 0; i < 36; ++i) {
        char c = s[at + i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!is_lower_hex(c)) {
            return false;
        }
    }
    return s[at + 14] == '4' && strchr("89ab", s[at + 19]) != nullptr;
}

bool is_uuid(const std::string &s) { return s.size() == 36 && uuid_at(s, 0); }

// Length of a MAC made of prefix and upper-case random octets at s[at], or 0.
size_t mac_at(const std::string &s, size_t at, const std::string &prefix) {
    if (s.compare(at, prefix.size(), prefix) != 0) return 0;
    size_t pos = at + prefix.size();
    for (size_t octet = (prefix.size() + 1) / 3; octet < 6; ++octet) {
        if (s.size() < pos + 3 || s[pos] != ':' || !is_upper_hex(s[pos + 1]) ||
            !is_upper_hex(s[pos + 2]))
            return 0;
        pos += 3;
    }
    return pos - at;
}

bool is_mac(const std::string &s, const std::string &prefix) {
    return mac_at(s, 0, prefix) == s.size() && s.size() == 17;
}

// The random parts of a rewritten text, replaced by <UUIDn> and <MACn> in
// order of appearance, so that the rest can be compared as a whole.
struct normalized {
    std::string text;
    std::vector<std::string> uuids;
    std::vector<std::string> macs;
};

normalized normalize(const std::string &in, const std::string &mac_prefix = "BC:24:11") {
    normalized n;
    std::string s = in;
    size_t at;
    while ((at = s.find(smbios_uuid)) != std::string::npos)
        s.replace(at, strlen(smbios_uuid), "<SMBIOS>");
    for (size_t i = 0; i < s.size();) {
        if (uuid_at(s, i)) {
            n.uuids.push_back(s.substr(i, 36));
            n.text += "<UUID" + std::to_string(n.uuids.size()) + ">";
            i += 36;
            continue;
        }
        size_t len = s[i] == '=' ? mac_at(s, i + 1, mac_prefix) : 0;
        if (len != 0) {
            n.macs.push_back(s.substr(i + 1, len));
            n.text += "=<MAC" + std::to_string(n.macs.size()) + ">";
            i += 1 + len;
            continue;
        }
        n.text += s[i++];
    }
    return n;
}

class rewrite_test : public testing::Test {
protected:
    void SetUp() override {
        log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO);
        add_remap("scsi0", "local-lvm", "vm-105-disk-0");
        add_remap("virtio1", "fast", "vm-105-disk-1");
    }

    void add_remap(const char *slot, const char *storage, const char *volume) {
        remap_entry e{};
        strcpy(e.slot, slot);
        strcpy(e.storage, storage);
        strcpy(e.volume, volume);
        remap_.push_back(e);
    }

    int32_t build(const char *text, bool keep_net = false, const char *uuid = smbios_uuid,
                  const char *prefix = "BC:24:11", size_t out_size = sizeof out_) {
        err_[0] = '\0';
        return build_target_config(text, remap_.data(), remap_.size(), keep_net ? 1 : 0, uuid,
                                   prefix, 105, out_, out_size, err_, sizeof err_);
    }

    // Rewrites text and returns it normalized; fails the test on an error.
    normalized rewrite(const std::string &text, bool keep_net = false,
                       const char *uuid = smbios_uuid) {
        EXPECT_EQ(build(text.c_str(), keep_net, uuid), 0) << err_;
        return normalize(out_);
    }

    std::vector<remap_entry> remap_;
    char out_[32768];
    char err_[256];
};

TEST(uuid, version_and_variant_bits_and_text_form) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        uint8_t u[16];
        random_uuid(u);
        EXPECT_EQ(u[6] >> 4, 4);
        EXPECT_EQ(u[8] & 0xC0, 0x80);
        char text[UUID_TEXT_SIZE];
        format_uuid(u, text);
        EXPECT_TRUE(is_uuid(text)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);

    const uint8_t fixed[16] = {0x00, 0x01, 0x02, 0xab, 0xcd, 0xef, 0x40, 0x10,
                               0x80, 0x00, 0xff, 0xfe, 0x12, 0x34, 0x56, 0x78};
    char text[UUID_TEXT_SIZE];
    memset(text, 'x', sizeof text);
    format_uuid(fixed, text);
    EXPECT_STREQ(text, "000102ab-cdef-4010-8000-fffe12345678");
}

TEST(mac, prefix_and_random_octets) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char mac[MAC_TEXT_SIZE];
        random_mac(nullptr, mac);
        EXPECT_TRUE(is_mac(mac, "BC:24:11")) << mac;
        seen.insert(mac);
    }
    EXPECT_GT(seen.size(), 45u);

    char mac[MAC_TEXT_SIZE];
    random_mac("02", mac);
    EXPECT_TRUE(is_mac(mac, "02")) << mac;
    random_mac("aa:bb:cc:", mac);
    EXPECT_TRUE(is_mac(mac, "AA:BB:CC")) << mac;
    // A multicast or malformed prefix is not used.
    for (const char *bad : {"01:00:5e", "zz", "", "aa:bb:cc:dd", "a:b", "aab"}) {
        random_mac(bad, mac);
        EXPECT_EQ(std::string(mac).substr(0, 9), "BC:24:11:") << bad;
    }
}

TEST(mac, prefix_from_datacenter_cfg) {
    scratch_dir dir;
    char prefix[MAC_PREFIX_SIZE];
    read_mac_prefix(dir.path().c_str(), prefix);
    EXPECT_STREQ(prefix, "BC:24:11");  // no datacenter.cfg

    struct {
        const char *cfg, *want;
    } cases[] = {
        {"keyboard: en-us\nmac_prefix: 02:ab\n", "02:AB"},
        {"mac_prefix:aa:bb:cc:\n", "AA:BB:CC"},
        {"  mac_prefix :  0a  \r\nconsole: html5\n", "0A"},
        {"mac_prefix: 01:00:5e\n", "BC:24:11"},
        {"mac_prefix: 02:ab:cd:ef\n", "BC:24:11"},
        {"mac_prefix: nonsense\n", "BC:24:11"},
        {"mac_prefixes: 02:ab\n", "BC:24:11"},
        {"#mac_prefix: 02:ab\n", "BC:24:11"},
        {"keyboard: de\n", "BC:24:11"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(write_file(dir.file("datacenter.cfg"), c.cfg));
        read_mac_prefix(dir.path().c_str(), prefix);
        EXPECT_STREQ(prefix, c.want) << c.cfg;
    }
}

TEST_F(rewrite_test, whole_config) {
    const char *text =
        "agent: 1\n"
        "boot: order=scsi0;ide2;net0\n"
        "cores: 2\n"
        "description: web server%0Asecond line\n"
        "efidisk0: local-lvm:vm-100-disk-1,efitype=4m,size=4M\n"
        "ide2: local:iso/debian.iso,media=cdrom,size=600M\n"
        "memory: 2048\n"
        "name: web01\n"
        "net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0,firewall=1\n"
        "net1: e1000=AA:BB:CC:DD:EE:00,bridge=vmbr1,tag=20\n"
        "ostype: l26\n"
        "scsi0: local-lvm:vm-100-disk-0,discard=on,iothread=1,size=32G\n"
        "scsi1: /dev/sdb\n"
        "scsihw: virtio-scsi-single\n"
        "smbios1: uuid=0e2f4c1a-1111-1111-1111-000000000000, manufacturer=abc\n"
        "unused0: local-lvm:vm-100-disk-9\n"
        "virtio1: old:vol\n"
        "vmgenid: 1a2b3c4d-0000-4000-8000-000000000000\n";
    add_remap("efidisk0", "local-lvm", "vm-105-disk-2");
    stderr_capture cap;
    normalized n = rewrite(text);
    EXPECT_EQ(n.text,
              "agent: 1\n"
              "boot: order=scsi0;ide2;net0\n"
              "cores: 2\n"
              "description: web server%0Asecond line\n"
              "efidisk0: local-lvm:vm-105-disk-2,efitype=4m,size=4M\n"
              "ide2: local:iso/debian.iso,media=cdrom,size=600M\n"
              "memory: 2048\n"
              "name: web01\n"
              "net0: virtio=<MAC1>,bridge=vmbr0,firewall=1\n"
              "net1: e1000=<MAC2>,bridge=vmbr1,tag=20\n"
              "ostype: l26\n"
              "scsi0: local-lvm:vm-105-disk-0,discard=on,iothread=1,size=32G\n"
              "scsihw: virtio-scsi-single\n"
              "smbios1: uuid=<SMBIOS>,manufacturer=abc\n"
              "virtio1: fast:vm-105-disk-1\n"
              "vmgenid: <UUID1>\n");
    EXPECT_EQ(cap.lines(),
              (std::vector<std::string>{
                  "WARN scsi1: /dev/sdb is a device of the host, not part of the backup: dropped; give it to "
                  "VM 105 again only once no other VM uses it",
                  "WARN unused0: local-lvm:vm-100-disk-9 is a volume of the original VM, not part of the backup: "
                  "dropped"}));
    ASSERT_EQ(n.macs.size(), 2u);
    EXPECT_NE(n.macs[0], n.macs[1]);
    ASSERT_EQ(n.uuids.size(), 1u);
    EXPECT_NE(n.uuids[0], "1a2b3c4d-0000-4000-8000-000000000000");
}

TEST_F(rewrite_test, two_rewrites_differ_in_their_random_parts) {
    const char *text = "net0: virtio=AA:BB:CC:DD:EE:FF\nvmgenid: 1\n";
    normalized a = rewrite(text), b = rewrite(text);
    EXPECT_EQ(a.text, "net0: virtio=<MAC1>\nvmgenid: <UUID1>\n");
    EXPECT_EQ(a.text, b.text);
    EXPECT_NE(a.macs, b.macs);
    EXPECT_NE(a.uuids, b.uuids);
}

TEST_F(rewrite_test, keep_flags) {
    const char *text =
        "net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0\n"
        "smbios1: uuid=0e2f4c1a-1111-1111-1111-000000000000,manufacturer=abc\n"
        "vmgenid: 0\n";
    normalized n = rewrite(text, true, "");
    EXPECT_EQ(n.text, text);
}

TEST_F(rewrite_test, network_lines) {
    struct {
        const char *in, *out;
    } cases[] = {
        {"net0:virtio=AA:BB:CC:DD:EE:FF\n", "net0: virtio=<MAC1>\n"},
        {"net0: virtio\n", "net0: virtio=<MAC1>\n"},
        {"net0: virtio,bridge=vmbr0\n", "net0: virtio=<MAC1>,bridge=vmbr0\n"},
        {"net12: vmxnet3=aa:bb:cc:dd:ee:ff , bridge=vmbr0 \n", "net12: vmxnet3=<MAC1>, bridge=vmbr0\n"},
        {"net0a: x=y\n", "net0a: x=y\n"},
        {"network: x\n", "network: x\n"},
        {"net: virtio=AA:BB:CC:DD:EE:FF\n", "net: virtio=AA:BB:CC:DD:EE:FF\n"},
        // The model and the MAC as options of their own.
        {"net0: model=virtio,macaddr=AA:BB:CC:DD:EE:FF,bridge=vmbr0\n",
         "net0: model=virtio,macaddr=<MAC1>,bridge=vmbr0\n"},
        {"net1: bridge=vmbr0, macaddr=AA:BB:CC:DD:EE:FF\n", "net1: bridge=vmbr0, macaddr=<MAC1>\n"},
        {"net2: model=e1000,bridge=vmbr1\n", "net2: model=e1000,macaddr=<MAC1>,bridge=vmbr1\n"},
        {"net3: model=virtio\n", "net3: model=virtio,macaddr=<MAC1>\n"},
    };
    for (const auto &c : cases) {
        normalized n = rewrite(c.in);
        EXPECT_EQ(n.text, std::string(c.out) + "vmgenid: <UUID1>\n") << c.in;
    }
    ASSERT_EQ(build("net0:virtio=AA:BB:CC:DD:EE:FF\n", true), 0);
    EXPECT_EQ(normalize(out_).text, "net0:virtio=AA:BB:CC:DD:EE:FF\nvmgenid: <UUID1>\n");
}

TEST_F(rewrite_test, cluster_mac_prefix) {
    ASSERT_EQ(build("net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0\nvmgenid: 0\n", false,
                    smbios_uuid, "02:AB"),
              0)
        << err_;
    normalized n = normalize(out_, "02:AB");
    EXPECT_EQ(n.text, "net0: virtio=<MAC1>,bridge=vmbr0\nvmgenid: 0\n");
    // The default prefix stands in for a missing one.
    ASSERT_EQ(build("net0: virtio\nvmgenid: 0\n", false, smbios_uuid, nullptr), 0) << err_;
    EXPECT_EQ(normalize(out_).text, "net0: virtio=<MAC1>\nvmgenid: 0\n");
}

TEST_F(rewrite_test, smbios1_lines) {
    struct {
        const char *in, *out;
    } cases[] = {
        {"smbios1: uuid=0e2f4c1a-1111-1111-1111-000000000000, manufacturer=abc",
         "smbios1: uuid=<SMBIOS>,manufacturer=abc"},
        {"smbios1: manufacturer=abc,,uuid=x , family=f,", "smbios1: manufacturer=abc,uuid=<SMBIOS>,family=f"},
        {"smbios1: manufacturer=abc", "smbios1: manufacturer=abc"},
        {"smbios1:  base64=1 ,  manufacturer=abc", "smbios1:  base64=1 ,  manufacturer=abc"},
    };
    for (const auto &c : cases) {
        normalized n = rewrite(std::string(c.in) + "\nvmgenid: 0\n");
        EXPECT_EQ(n.text, std::string(c.out) + "\nvmgenid: 0\n") << c.in;
    }
    normalized n = rewrite("smbios1: uuid=0e2f4c1a-1111-1111-1111-000000000000\n", false, "");
    EXPECT_EQ(n.text, "smbios1: uuid=0e2f4c1a-1111-1111-1111-000000000000\nvmgenid: <UUID1>\n");
}

TEST_F(rewrite_test, disk_lines) {
    add_remap("tpmstate0", "local-lvm", "vm-105-disk-2");
    add_remap("sata3", "s", "v");
    struct {
        const char *in, *out;
    } cases[] = {
        {"scsi0: local-lvm:vm-100-disk-0,discard=on,size=32G", "scsi0: local-lvm:vm-105-disk-0,discard=on,size=32G"},
        {"virtio1: old:vol", "virtio1: fast:vm-105-disk-1"},
        {"tpmstate0: local-lvm:vm-100-disk-2,size=4M,version=v2.0", "tpmstate0: local-lvm:vm-105-disk-2,size=4M,version=v2.0"},
        {"sata3:  a:b:c,size=1G  ", "sata3: s:v,size=1G"},
        {"ide2: local:iso/x.iso,media=cdrom", "ide2: local:iso/x.iso,media=cdrom"},
        {"ide2: none,media=cdrom", "ide2: none,media=cdrom"},
        {"ide3: local:iso/y.iso, media=cdrom ,size=1M", "ide3: local:iso/y.iso, media=cdrom ,size=1M"},
        {"scsi2:", "scsi2:"},
        {"scsi2: none", "scsi2: none"},
        {"ide0: cdrom,media=cdrom", "ide0: cdrom,media=cdrom"},
        {"scsihw: virtio-scsi-pci", "scsihw: virtio-scsi-pci"},
        {"  # scsi0: a:b", "  # scsi0: a:b"},
    };
    for (const auto &c : cases) {
        normalized n = rewrite(std::string(c.in) + "\nvmgenid: 0\n");
        EXPECT_EQ(n.text, std::string(c.out) + "\nvmgenid: 0\n") << c.in;
    }

    // A cdrom marker beyond 511 bytes of value is not looked for.
    std::string long_value = "iso:x" + std::string(520, 'o') + ",media=cdrom";
    add_remap("ide0", "local-lvm", "vm-105-disk-3");
    normalized n = rewrite("ide0: " + long_value + "\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "ide0: local-lvm:vm-105-disk-3,media=cdrom\nvmgenid: 0\n");

    EXPECT_EQ(build("scsi0: a:b\nscsi2: local-lvm:vm-100-disk-5,size=1G\n"), -1);
    EXPECT_STREQ(err_, "scsi2: no remap entry given for this disk slot");
}

TEST_F(rewrite_test, vmgenid_lines) {
    normalized n = rewrite("memory: 512\nvmgenid: 1a2b\n");
    EXPECT_EQ(n.text, "memory: 512\nvmgenid: <UUID1>\n");
    n = rewrite("memory: 512\nvmgenid: 1\n");
    EXPECT_EQ(n.text, "memory: 512\nvmgenid: <UUID1>\n");
    n = rewrite("vmgenid: 0\nmemory: 512\n");
    EXPECT_EQ(n.text, "vmgenid: 0\nmemory: 512\n");
    n = rewrite("vmgenid:   0  \n");
    EXPECT_EQ(n.text, "vmgenid:   0\n");
    n = rewrite("vmgenid: 1\nvmgenid: 2\n");
    EXPECT_EQ(n.text, "vmgenid: <UUID1>\nvmgenid: <UUID2>\n");
    EXPECT_NE(n.uuids[0], n.uuids[1]);
    // Appended as a line of its own, after a final line without a line feed.
    n = rewrite("memory: 512");
    EXPECT_EQ(n.text, "memory: 512\nvmgenid: <UUID1>\n");
    n = rewrite("");
    EXPECT_EQ(n.text, "vmgenid: <UUID1>\n");
    ASSERT_EQ(build(nullptr), 0);
    EXPECT_EQ(normalize(out_).text, "vmgenid: <UUID1>\n");
    // The generation id is never the smbios1 uuid.
    n = rewrite("smbios1: uuid=x\n");
    EXPECT_EQ(n.text, "smbios1: uuid=<SMBIOS>\nvmgenid: <UUID1>\n");
}

// Snapshot and pending sections describe the original VM's states and
// name its volumes: they go, each with a WARN, after the main section got
// its generation id.
TEST_F(rewrite_test, later_sections_are_dropped) {
    const char *text =
        "memory: 512\r\n"
        "scsi0: local-lvm:vm-100-disk-0,size=8G\r\n"
        "net0: virtio=AA:BB:CC:DD:EE:FF\n"
        "\n"
        "  [snap1]  \r\n"
        "scsi0: local-lvm:vm-100-disk-0,size=8G\r\n"
        "net0: virtio=AA:BB:CC:DD:EE:FF\n"
        "vmgenid: 1\n"
        "[PENDING]\n"
        "snaptime: 1700000000";
    stderr_capture cap;
    normalized n = rewrite(text);
    EXPECT_EQ(n.text,
              "memory: 512\n"
              "scsi0: local-lvm:vm-105-disk-0,size=8G\n"
              "net0: virtio=<MAC1>\n"
              "\n"
              "vmgenid: <UUID1>\n");
    EXPECT_EQ(cap.lines(),
              (std::vector<std::string>{
                  "WARN [snap1]: dropped with its lines: the original VM's snapshots and pending changes are not "
                  "part of the backup",
                  "WARN [PENDING]: dropped with its lines: the original VM's snapshots and pending changes are "
                  "not part of the backup"}));
    n = rewrite("vmgenid: 0\n[PENDING]\nvmgenid: 5\n");
    EXPECT_EQ(n.text, "vmgenid: 0\n");
}

TEST_F(rewrite_test, line_shapes) {
    normalized n = rewrite("a: 1\r\n  indented: 2  \r\n   \n\t\r\nno colon here\n\n#note: x\nvmgenid: 0");
    EXPECT_EQ(n.text, "a: 1\n  indented: 2\n   \n\t\nno colon here\n\n#note: x\nvmgenid: 0");

    std::string long_line = "description: " + std::string(1487, 'd');
    n = rewrite(long_line + "\nvmgenid: 0\n");
    EXPECT_EQ(n.text, long_line.substr(0, 1023) + "\nvmgenid: 0\n");

    // A key longer than 63 bytes is judged by its first 63: a key of no
    // rule is kept whole, a disk slot is a disk slot.
    std::string long_key = "x" + std::string(70, 'k');
    n = rewrite(long_key + ": a:b\nvmgenid: 0\n");
    EXPECT_EQ(n.text, long_key + ": a:b\nvmgenid: 0\n");
    std::string unused_key = "unused" + std::string(70, '7');
    stderr_capture cap;
    n = rewrite(unused_key + ": a:vm-100-disk-9\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "vmgenid: 0\n");
    EXPECT_EQ(cap.lines(), std::vector<std::string>{"WARN " + unused_key.substr(0, 63) +
                                                    ": a:vm-100-disk-9 is a volume of the original VM, not part "
                                                    "of the backup: dropped"});

    // A rewritten line is cut to 1199 bytes.
    remap_[0] = remap_entry{};
    strcpy(remap_[0].slot, "scsi0");
    strcpy(remap_[0].storage, std::string(127, 's').c_str());
    strcpy(remap_[0].volume, std::string(127, 'v').c_str());
    std::string disk = "scsi0: a:b," + std::string(1000, 'o');
    ASSERT_EQ(build((disk + "\nvmgenid: 0\n").c_str()), 0) << err_;
    std::string out = out_;
    EXPECT_EQ(out.find('\n'), 1199u);
    EXPECT_EQ(out.substr(0, 263), "scsi0: " + std::string(127, 's') + ":" + std::string(127, 'v') + ",");
}

TEST_F(rewrite_test, masked_cloud_init_password_is_left_out) {
    stderr_capture cap;
    normalized n = rewrite("ciuser: admin\ncipassword: **********\nipconfig0: ip=dhcp\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "ciuser: admin\nipconfig0: ip=dhcp\nvmgenid: 0\n");
    n = rewrite("cipassword: $5$abc$def\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "cipassword: $5$abc$def\nvmgenid: 0\n");
    // As the last line without a line feed, it leaves no blank line behind.
    n = rewrite("memory: 1\ncipassword: **********");
    EXPECT_EQ(n.text, "memory: 1\nvmgenid: <UUID1>\n");
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{
                               "WARN cipassword was not part of the backup: set it again for VM 105",
                               "WARN cipassword was not part of the backup: set it again for VM 105",
                           }));
}

TEST_F(rewrite_test, a_template_comes_back_as_a_regular_vm) {
    {
        stderr_capture cap;
        // A template's base volumes are restored into new ordinary volumes.
        normalized n = rewrite("memory: 512\nscsi0: local-lvm:base-100-disk-0,size=4M\ntemplate: 1\nvmgenid: 0\n");
        EXPECT_EQ(n.text, "memory: 512\nscsi0: local-lvm:vm-105-disk-0,size=4M\nvmgenid: 0\n");
        // Said once, whatever the lines; a snapshot section of a template
        // goes like any other.
        n = rewrite("template: 1\nvmgenid: 0\ntemplate: 1\n[snap]\ntemplate: 1\n");
        EXPECT_EQ(n.text, "vmgenid: 0\n");
        const std::string warn = "WARN VM 105 was a template: restored as a regular VM (run 'qm template 105' to "
                                 "convert it)";
        EXPECT_EQ(cap.lines(),
                  (std::vector<std::string>{warn, warn,
                                            "WARN [snap]: dropped with its lines: the original VM's snapshots and "
                                            "pending changes are not part of the backup"}));
    }
    // "template: 0" is no template: the line goes without a word.
    stderr_capture quiet;
    normalized n = rewrite("template: 0\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "vmgenid: 0\n");
    EXPECT_TRUE(quiet.lines().empty());
}

// Every line that names a volume or device of the original VM either
// points at the new VM's own volume or goes, with a WARN that names it.
TEST_F(rewrite_test, lines_naming_the_original_vms_things) {
    add_remap("efidisk0", "local-lvm", "vm-105-disk-1");
    add_remap("ide2", "local-lvm", "vm-105-cloudinit");
    stderr_capture cap;
    normalized n = rewrite(
        "bios: ovmf\n"
        "efidisk0: local-lvm:vm-100-disk-1,efitype=4m,pre-enrolled-keys=1,size=528K\n"
        "ide0: local:iso/virtio-win.iso,media=cdrom,size=707456K\n"
        "ide2: local-lvm:vm-100-cloudinit,media=cdrom\n"
        "lock: backup\n"
        "memory: 1\n"
        "parent: before-upgrade\n"
        "sata0: /dev/disk/by-id/ata-ST2000DM008_ZFL0XXXX,size=1953514584K\n"
        "sata1: /dev/disk/by-path/pci-0000:00:1f.2-ata-2\n"
        "unused0: local-lvm:vm-100-disk-9\n"
        "unused12: other:vm-100-disk-3\n"
        "vmgenid: 0\n"
        "vmstate: local-lvm:vm-100-state-suspend-2026-05-07\n"
        "#vlt_proxmox_backup: disks=efidisk0\n");
    EXPECT_EQ(n.text,
              "bios: ovmf\n"
              "efidisk0: local-lvm:vm-105-disk-1,efitype=4m,pre-enrolled-keys=1,size=528K\n"
              "ide0: local:iso/virtio-win.iso,media=cdrom,size=707456K\n"
              "ide2: local-lvm:vm-105-cloudinit,media=cdrom\n"
              "memory: 1\n"
              "vmgenid: 0\n");
    EXPECT_EQ(cap.lines(),
              (std::vector<std::string>{
                  "WARN parent: snapshot 'before-upgrade' of the original VM is not part of the backup: dropped; "
                  "VM 105 starts with no snapshots",
                  "WARN sata0: /dev/disk/by-id/ata-ST2000DM008_ZFL0XXXX is a device of the host, not part of the "
                  "backup: dropped; give it to VM 105 again only once no other VM uses it",
                  "WARN sata1: /dev/disk/by-path/pci-0000:00:1f.2-ata-2 is a device of the host, not part of the "
                  "backup: dropped; give it to VM 105 again only once no other VM uses it",
                  "WARN unused0: local-lvm:vm-100-disk-9 is a volume of the original VM, not part of the backup: "
                  "dropped",
                  "WARN unused12: other:vm-100-disk-3 is a volume of the original VM, not part of the backup: "
                  "dropped",
                  "WARN vmstate: local-lvm:vm-100-state-suspend-2026-05-07 (the original VM's saved memory) is "
                  "not part of the backup: dropped; VM 105 boots afresh",
              }));

    // A disk the caller drops goes without a word (the caller said why); a
    // cloud-init drive without a volume of its own goes with one.
    remap_.clear();
    remap_entry dropped{};
    strcpy(dropped.slot, "scsi1");
    dropped.drop = 1;
    remap_.push_back(dropped);
    stderr_capture cap2;
    n = rewrite("scsi1: local-lvm:vm-100-disk-4,backup=0\nsata2: local-lvm:vm-100-cloudinit,media=cdrom\n"
                "vmgenid: 0\n");
    EXPECT_EQ(n.text, "vmgenid: 0\n");
    EXPECT_EQ(cap2.lines(), std::vector<std::string>{
                                "WARN sata2: the cloud-init drive local-lvm:vm-100-cloudinit belongs to the original "
                                "VM: dropped; add one to VM 105 with 'qm set 105 --sata2 <storage>:cloudinit'"});

    // Keys that only start alike, and an efidisk without a volume, stay.
    n = rewrite("locked: 1\nunused: x:y\nefidisk0: none\nparents: 2\nvmgenid: 0\n");
    EXPECT_EQ(n.text, "locked: 1\nunused: x:y\nefidisk0: none\nparents: 2\nvmgenid: 0\n");
}

TEST_F(rewrite_test, size_limits) {
    std::string max_text(32767, '#');
    max_text[32766] = '\n';
    EXPECT_EQ(build(max_text.c_str()), 0) << err_;
    std::string too_big = max_text + "x";
    EXPECT_EQ(build(too_big.c_str()), -1);
    EXPECT_STREQ(err_, "config text is too large (> 32767 bytes)");
    EXPECT_STREQ(out_, "");

    // "vmgenid: 0\n" is 11 bytes: it needs 12 with the terminator.
    EXPECT_EQ(build("vmgenid: 0\n", false, smbios_uuid, "BC:24:11", 12), 0) << err_;
    EXPECT_STREQ(out_, "vmgenid: 0\n");
    EXPECT_EQ(build("vmgenid: 0\n", false, smbios_uuid, "BC:24:11", 11), -1);
    EXPECT_STREQ(err_, "rewritten config does not fit in the output buffer");
    EXPECT_EQ(build("memory: 1\n", false, smbios_uuid, "BC:24:11", 20), -1);
    EXPECT_STREQ(err_, "rewritten config does not fit in the output buffer");
    EXPECT_EQ(build("memory: 1\n[s]\nabc\n", false, smbios_uuid, "BC:24:11", 40), -1);
    EXPECT_STREQ(err_, "rewritten config does not fit in the output buffer");
}

TEST_F(rewrite_test, a_disk_slot_key_of_64_bytes_and_more_keeps_no_original_volume) {
    // The parser lists the disk of such a line under the first 23
    // characters of its key; the rewrite once kept the line as it was, and
    // the new VM got the original VM's volume.
    add_remap("scsi3333333333333333333", "local-lvm", "vm-105-disk-2");
    for (size_t digits : {60u, 70u, 1000u}) {
        std::string long_key = "scsi" + std::string(digits, '3');
        EXPECT_EQ(build(("scsi0: local-lvm:vm-100-disk-0\n" + long_key + ": pve:vm-100-disk-1,size=4G\n").c_str()),
                  -1)
            << digits;
        EXPECT_EQ(std::string(err_), long_key.substr(0, 63) + ": no remap entry given for this disk slot");
        EXPECT_EQ(std::string(out_).find("vm-100-disk-1"), std::string::npos) << digits;
    }
    // A CD-ROM or an empty drive on such a key stays what it was.
    std::string long_key = "ide" + std::string(64, '2');
    normalized n = rewrite(long_key + ": none,media=cdrom\nvmgenid: 0\n");
    EXPECT_EQ(n.text, long_key + ": none,media=cdrom\nvmgenid: 0\n");
}

}  // namespace
