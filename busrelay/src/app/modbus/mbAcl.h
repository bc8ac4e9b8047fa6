// The Modbus port's client allow-list: mbacl.json beside map.json, e.g.
//   {"allow": ["192.168.1.10", "10.0.0.0/24"], "readOnly": ["192.168.1.20"]}
// IPv4 addresses and CIDR ranges. No file, an empty file, or empty lists:
// every client is accepted. "allow" limits who may connect; a "readOnly"
// entry admits its clients too, but they may only read (their writes get
// exception 1), whichever list also names them. Without "allow" (or with an
// empty one) every client is still accepted and only the read-only ones are
// limited. A file that cannot be used as a whole (not JSON, neither list, a
// list that is not an array, an entry that is not an IPv4 address or range,
// too many entries) is refused and every client is accepted with every
// right, with an ERROR saying so: a typing mistake must never lock the
// integrator out silently. Other keys are ignored with a WARN.
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
    int count = 0;  // "allow" entries; 0: no limit on who connects
    MbAclEntry entries[MB_ACL_MAX_ENTRIES];
    int readOnlyCount = 0;  // "readOnly" entries
    MbAclEntry readOnly[MB_ACL_MAX_ENTRIES];
};

// What a client at an address may do.
enum MbAclVerdict { MB_ACL_REFUSE = 0, MB_ACL_READ_WRITE = 1, MB_ACL_READ_ONLY = 2 };

// "a.b.c.d" (= /32) or "a.b.c.d/n", n 0..32, nothing else (no spaces, no
// leading zeros, no IPv6). Host bits below the prefix are cleared.
bool mb_acl_parse_entry(const std::string &text, MbAclEntry *out);
// The entry as the allow-list shows it: "a.b.c.d" for /32, else "a.b.c.d/n".
std::string mb_acl_entry_text(const MbAclEntry &entry);
// Parses a whole file's text into acl. An empty (or blank) text gives empty
// lists. False with a reason in error when refused; acl is then empty.
// Keys other than the two lists are collected in `ignored` (when given).
bool mb_acl_parse(const std::string &text, MbAcl *acl, std::string *error,
                  std::string *ignored = nullptr);
// The address (host byte order): refused, or admitted with its rights.
MbAclVerdict mb_acl_check(const MbAcl &acl, uint32_t address);
// True when the address may connect: always without an "allow" list.
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
// The service's "allow" list as text: "192.168.1.10, 10.0.0.0/24".
std::string mb_acl_summary();
// The service's "readOnly" list the same way ("" when there is none).
std::string mb_acl_read_only_summary();
// The server's check at accept (address in network byte order).
MbAclVerdict mb_acl_check_client(uint32_t addressNetworkOrder);
bool mb_acl_allows_client(uint32_t addressNetworkOrder);
