#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "mbAcl.h"

namespace {

uint32_t ip(const char *text) {
    struct in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return ntohl(a.s_addr);
}

MbAcl acl_of(const std::string &json) {
    MbAcl acl;
    std::string error;
    EXPECT_TRUE(mb_acl_parse(json, &acl, &error)) << json << ": " << error;
    return acl;
}

std::string refusal_of(const std::string &json) {
    MbAcl acl;
    std::string error;
    EXPECT_FALSE(mb_acl_parse(json, &acl, &error)) << json;
    EXPECT_EQ(acl.count, 0) << json;
    return error;
}

TEST(MbAclEntry, RangeBoundaries) {
    const MbAcl acl = acl_of(R"({"allow": ["10.0.0.0/24"]})");
    EXPECT_FALSE(mb_acl_allows(acl, ip("9.255.255.255")));
    EXPECT_TRUE(mb_acl_allows(acl, ip("10.0.0.0")));
    EXPECT_TRUE(mb_acl_allows(acl, ip("10.0.0.255")));
    EXPECT_FALSE(mb_acl_allows(acl, ip("10.0.1.0")));
    EXPECT_FALSE(mb_acl_allows(acl, ip("11.0.0.1")));

    const MbAcl pair = acl_of(R"({"allow": ["192.168.1.6/31"]})");
    EXPECT_FALSE(mb_acl_allows(pair, ip("192.168.1.5")));
    EXPECT_TRUE(mb_acl_allows(pair, ip("192.168.1.6")));
    EXPECT_TRUE(mb_acl_allows(pair, ip("192.168.1.7")));
    EXPECT_FALSE(mb_acl_allows(pair, ip("192.168.1.8")));

    // /1 splits the address space at the top bit (a shift by 31, not 32).
    const MbAcl half = acl_of(R"({"allow": ["128.0.0.0/1"]})");
    EXPECT_TRUE(mb_acl_allows(half, ip("255.255.255.255")));
    EXPECT_TRUE(mb_acl_allows(half, ip("128.0.0.0")));
    EXPECT_FALSE(mb_acl_allows(half, ip("127.255.255.255")));
}

TEST(MbAclEntry, SingleAddressAndWholeSpace) {
    const MbAcl one = acl_of(R"({"allow": ["192.168.1.10"]})");
    EXPECT_TRUE(mb_acl_allows(one, ip("192.168.1.10")));
    EXPECT_FALSE(mb_acl_allows(one, ip("192.168.1.11")));
    EXPECT_FALSE(mb_acl_allows(one, ip("192.168.1.9")));
    EXPECT_FALSE(mb_acl_allows(one, ip("10.192.168.1")));
    EXPECT_EQ(mb_acl_entry_text(one.entries[0]), "192.168.1.10");

    const MbAcl host32 = acl_of(R"({"allow": ["192.168.1.10/32"]})");
    EXPECT_TRUE(mb_acl_allows(host32, ip("192.168.1.10")));
    EXPECT_FALSE(mb_acl_allows(host32, ip("192.168.1.11")));

    // /0 is every address, stated on purpose (no undefined 32-bit shift).
    const MbAcl all = acl_of(R"({"allow": ["1.2.3.4/0"]})");
    EXPECT_TRUE(mb_acl_allows(all, ip("0.0.0.0")));
    EXPECT_TRUE(mb_acl_allows(all, ip("255.255.255.255")));
    EXPECT_EQ(mb_acl_entry_text(all.entries[0]), "0.0.0.0/0");
}

TEST(MbAclEntry, HostBitsAreClearedAndSeveralEntriesAllAdmit) {
    const MbAcl acl = acl_of(R"({"allow": ["10.0.0.77/24", "172.16.5.1", "192.168.0.0/16"]})");
    ASSERT_EQ(acl.count, 3);
    EXPECT_EQ(mb_acl_entry_text(acl.entries[0]), "10.0.0.0/24");
    EXPECT_TRUE(mb_acl_allows(acl, ip("10.0.0.1")));
    EXPECT_TRUE(mb_acl_allows(acl, ip("172.16.5.1")));
    EXPECT_TRUE(mb_acl_allows(acl, ip("192.168.255.255")));
    EXPECT_FALSE(mb_acl_allows(acl, ip("172.16.5.2")));
    EXPECT_FALSE(mb_acl_allows(acl, ip("192.169.0.0")));
}

TEST(MbAclEntry, MalformedEntriesAreRejected) {
    MbAclEntry e;
    for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.4/", "1.2.3.4/33",
                            "1.2.3.4/-1", "1.2.3.4/+8", "1.2.3.4/08", "1.2.3.4/100", "/24",
                            " 1.2.3.4", "1.2.3.4 ", "1.2.3.4/24/8", "010.0.0.1", "0x0a.0.0.1",
                            "::1", "::ffff:10.0.0.1", "localhost", "1.2.3.4/2 4"})
        EXPECT_FALSE(mb_acl_parse_entry(bad, &e)) << "'" << bad << "'";
    EXPECT_TRUE(mb_acl_parse_entry("0.0.0.0/0", &e));
    EXPECT_TRUE(mb_acl_parse_entry("255.255.255.255/32", &e));
}

TEST(MbAclEntry, EmbeddedNulIsRejected) {
    MbAclEntry e;
    EXPECT_FALSE(mb_acl_parse_entry(std::string("1.2.3.4\0", 8), &e));
    EXPECT_FALSE(mb_acl_parse_entry(std::string("1.2.3.4\0/24", 11), &e));
    EXPECT_NE(refusal_of(R"({"allow": ["10.0.0.1\u0000junk"]})").find("entry 1"), std::string::npos);
}

TEST(MbAclFile, EmptyFormsAcceptEveryone) {
    for (const char *text : {"", "  \n\t", "{}", R"({"allow": []})", "// none yet\n{}"}) {
        const MbAcl acl = acl_of(text);
        EXPECT_EQ(acl.count, 0) << text;
        EXPECT_TRUE(mb_acl_allows(acl, ip("203.0.113.9"))) << text;
    }
}

TEST(MbAclFile, AnyFaultRefusesTheWholeFile) {
    // One bad entry refuses the file: half a list is a list nobody wrote.
    EXPECT_NE(refusal_of(R"({"allow": ["10.0.0.1", "10.0.0.300"]})").find("entry 2 (10.0.0.300)"),
              std::string::npos);
    EXPECT_NE(refusal_of(R"({"allow": ["10.0.0.1", 5]})").find("entry 2"), std::string::npos);
    EXPECT_NE(refusal_of(R"({"allow": ["10.0.0.1",)").find("not JSON"), std::string::npos);
    EXPECT_EQ(refusal_of(R"(["10.0.0.1"])"), "not a JSON object");
    EXPECT_EQ(refusal_of(R"({"allowed": ["10.0.0.1"]})"), "no \"allow\" or \"readOnly\" list");
    EXPECT_EQ(refusal_of(R"({"allow": "10.0.0.1"})"), "\"allow\" is not a list");
    // The reason is one log line.
    EXPECT_EQ(refusal_of("{\n\"allow\": [\n").find('\n'), std::string::npos);

    // Nesting past the reader's limit is refused, not thrown out of start-up.
    const std::string deep = R"({"allow": [], "n": )" + std::string(5000, '[') + "}";
    EXPECT_NE(refusal_of(deep).find("not JSON"), std::string::npos);

    std::string many = R"({"allow": [)";
    for (int i = 0; i <= MB_ACL_MAX_ENTRIES; ++i)
        many += (i ? ",\"10.0.0." : "\"10.0.0.") + std::to_string(i) + "\"";
    many += "]}";
    EXPECT_NE(refusal_of(many).find("more than"), std::string::npos);
}

TEST(MbAclReadOnly, ReadOnlyEntriesAdmitButOnlyToRead) {
    const MbAcl acl = acl_of(R"({"allow": ["10.0.0.0/24"], "readOnly": ["10.0.0.9", "192.168.5.0/30"]})");
    EXPECT_EQ(mb_acl_check(acl, ip("10.0.0.8")), MB_ACL_READ_WRITE);
    EXPECT_EQ(mb_acl_check(acl, ip("10.0.0.9")), MB_ACL_READ_ONLY);     // both lists: the narrower
    EXPECT_EQ(mb_acl_check(acl, ip("192.168.5.3")), MB_ACL_READ_ONLY);  // admitted by readOnly alone
    EXPECT_EQ(mb_acl_check(acl, ip("192.168.5.4")), MB_ACL_REFUSE);
    // Without an allow-list everyone comes in and only the listed ones are limited.
    const MbAcl open = acl_of(R"({"readOnly": ["10.0.0.9"]})");
    EXPECT_EQ(mb_acl_check(open, ip("10.0.0.9")), MB_ACL_READ_ONLY);
    EXPECT_EQ(mb_acl_check(open, ip("203.0.113.1")), MB_ACL_READ_WRITE);
    // A file without the new list means what it always meant.
    EXPECT_EQ(mb_acl_check(acl_of(R"({"allow": ["10.0.0.9"]})"), ip("10.0.0.9")), MB_ACL_READ_WRITE);
}

TEST(MbAclReadOnly, TheReadOnlyListIsAsStrictAsTheAllowList) {
    EXPECT_EQ(refusal_of(R"({"allow": [], "readOnly": "10.0.0.2"})"), "\"readOnly\" is not a list");
    EXPECT_EQ(refusal_of(R"({"allow": ["10.0.0.1"], "readOnly": ["10.0.0.2", "10.0.0.256"]})"),
              "\"readOnly\" entry 2 (10.0.0.256) is not an IPv4 address or range");
    std::string many = R"({"readOnly": [)";
    for (int i = 0; i <= MB_ACL_MAX_ENTRIES; ++i) many += (i ? ",\"10.0.0.1\"" : "\"10.0.0.1\"");
    EXPECT_EQ(refusal_of(many + "]}"), "more than 64 \"readOnly\" entries");
    EXPECT_EQ(refusal_of(R"({"readonly": ["10.0.0.2"]})"), "no \"allow\" or \"readOnly\" list");
    // Other keys change nothing and are named for the log.
    MbAcl acl;
    std::string error, ignored;
    ASSERT_TRUE(mb_acl_parse(R"({"allow": ["10.0.0.1"], "readonly": ["10.0.0.2"], "note": 1})",
                             &acl, &error, &ignored));
    EXPECT_EQ(acl.readOnlyCount, 0);
    EXPECT_EQ(ignored, "\"note\", \"readonly\"");
}

TEST(MbAclFile, LoadSetsAndClearsTheServiceList) {
    char dir[] = "/tmp/mbacl-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/mbacl.json";

    EXPECT_EQ(mb_acl_load(path.c_str()), MB_ACL_ABSENT);
    EXPECT_TRUE(mb_acl_allows_client(htonl(ip("198.51.100.1"))));

    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(R"({"allow": ["127.0.0.1", "10.1.0.0/16"]})", f);
    fclose(f);
    EXPECT_EQ(mb_acl_load(path.c_str()), MB_ACL_ACTIVE);
    EXPECT_EQ(mb_acl_summary(), "127.0.0.1, 10.1.0.0/16");
    EXPECT_TRUE(mb_acl_allows_client(htonl(ip("10.1.200.3"))));
    EXPECT_FALSE(mb_acl_allows_client(htonl(ip("127.0.0.2"))));

    // A broken file replaces a good one with no limit, never a stale list.
    f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(R"({"allow": ["127.0.0.1",)", f);
    fclose(f);
    EXPECT_EQ(mb_acl_load(path.c_str()), MB_ACL_REFUSED);
    EXPECT_NE(mb_acl_refusal().find("not JSON"), std::string::npos);
    EXPECT_TRUE(mb_acl_allows_client(htonl(ip("127.0.0.2"))));

    f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(R"({"allow": ["127.0.0.1"], "readOnly": ["127.0.0.3", "10.9.0.0/16"]})", f);
    fclose(f);
    EXPECT_EQ(mb_acl_load(path.c_str()), MB_ACL_ACTIVE);
    EXPECT_EQ(mb_acl_read_only_summary(), "127.0.0.3, 10.9.0.0/16");
    EXPECT_EQ(mb_acl_check_client(htonl(ip("127.0.0.3"))), MB_ACL_READ_ONLY);
    EXPECT_EQ(mb_acl_check_client(htonl(ip("127.0.0.2"))), MB_ACL_REFUSE);

    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
