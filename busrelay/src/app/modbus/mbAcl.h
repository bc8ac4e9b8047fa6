// The Modbus port's client allow-list: mbacl.json beside map.json, e.g.
//   {"allow": ["192.168.1.10", "10.0.0.0/24"]}
// IPv4 addresses and CIDR ranges. No file, an empty file, or an empty list:
// every client is accepted. A file that cannot be used as a whole (not JSON,
// no "allow" array, an entry that is not an IPv4 address or range, too many
// entries) is refused and every client is accepted, with an ERROR saying so:
// a typing mistake must never lock the integrator out silently.
// Loaded once at start-up; the accept path only reads it (no allocation).
#pragma once

#include <cstdint>
#include <string>

constexpr int MB_ACL_MAX_ENTRIES = 64;

struct MbAclEntry {
    uint32_t network;  // host byte order, host bits cleared
    uint32_t mask;     // host byte order
    int prefix;        // 0..32
};

struct MbAcl {
    int count = 0;  // 0: no limit
    MbAclEntry entries[MB_ACL_MAX_ENTRIES];
};

// "a.b.c.d" (= /32) or "a.b.c.d/n", n 0..32, nothing else (no spaces, no
// leading zeros, no IPv6). Host bits below the prefix are cleared.
bool mb_acl_parse_entry(const std::string &text, MbAclEntry *out);
// The entry as the allow-list shows it: "a.b.c.d" for /32, else "a.b.c.d/n".
std::string mb_acl_entry_text(const MbAclEntry &entry);
// Parses a whole file's text into acl. An empty (or blank) text gives an
// empty list. False with a reason in error when refused; acl is then empty.
bool mb_acl_parse(const std::string &text, MbAcl *acl, std::string *error);
// True when the address (host byte order) may connect: always with an
// empty list.
bool mb_acl_allows(const MbAcl &acl, uint32_t address);

// Outcome of loading the file.
enum MbAclLoad { MB_ACL_ABSENT = 0, MB_ACL_EMPTY = 1, MB_ACL_ACTIVE = 2, MB_ACL_REFUSED = -1 };
// Reads path into the service's list (replacing it) and logs the outcome.
// Refused or absent leaves the list empty: every client accepted.
MbAclLoad mb_acl_load(const char *path);
// The service's list (empty until mb_acl_load found a usable one).
const MbAcl &mb_acl_current();
// Why the last load refused the file ("" otherwise).
const std::string &mb_acl_refusal();
// The service's list as text: "192.168.1.10, 10.0.0.0/24".
std::string mb_acl_summary();
// The server's check at accept (address in network byte order).
bool mb_acl_allows_client(uint32_t addressNetworkOrder);
