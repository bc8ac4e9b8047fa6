// mbacl_check < CASES
// Feeds texts to the service's own allow-list reader. Each case on stdin is a
// header line "entry N" or "file N PROBES" followed by N bytes of text; PROBES
// is "-" or addresses separated by commas. For each case the program prints
// one line. An entry: "ok" and the normalised entry, or "refused". A file:
// "ok allow[...] readOnly[...] ignored[...]" (the normalised entries, the
// ignored keys as the start log names them) or "refused", then " |" and
// "address=refused|read-only|full" for each probe as the service decides it
// after loading that text (a refused file leaves no list in force). A reader
// that throws prints "threw" and the message.
#include "mbAcl.h"

#include <arpa/inet.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>

namespace {

std::string listText(const MbAclEntry *entries, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + mb_acl_entry_text(entries[i]);
    return text;
}

std::string rights(const MbAcl &acl, const std::string &probes)
{
    std::string line = " |";
    if (probes == "-")
        return line;
    std::istringstream in(probes);
    std::string address;
    while (std::getline(in, address, ',')) {
        struct in_addr a;
        if (inet_pton(AF_INET, address.c_str(), &a) != 1)
            return line + " bad probe " + address;
        const MbAclVerdict v = mb_acl_check(acl, ntohl(a.s_addr));
        line += " " + address + "=" +
                (v == MB_ACL_REFUSE ? "refused" : v == MB_ACL_READ_ONLY ? "read-only" : "full");
    }
    return line;
}

} // namespace

int main()
{
    std::string kind;
    size_t size = 0;
    while (std::cin >> kind >> size) {
        std::string probes = "-";
        if (kind == "file")
            std::cin >> probes;
        std::cin.get();  // the header's line end
        std::string text(size, '\0');
        if (size && !std::cin.read(&text[0], static_cast<std::streamsize>(size))) {
            std::fprintf(stderr, "short case\n");
            return 2;
        }
        std::string line;
        try {
            if (kind == "entry") {
                MbAclEntry e;
                line = mb_acl_parse_entry(text, &e) ? "ok " + mb_acl_entry_text(e) : "refused";
            } else {
                MbAcl acl;
                std::string error, ignored;
                if (mb_acl_parse(text, &acl, &error, &ignored)) {
                    line = "ok allow[" + listText(acl.entries, acl.count) + "] readOnly[" +
                           listText(acl.readOnly, acl.readOnlyCount) + "] ignored[" + ignored + "]";
                } else {
                    line = "refused";
                    acl = MbAcl();  // as mb_acl_load leaves it
                }
                line += rights(acl, probes);
            }
        } catch (const std::exception &ex) {
            line = std::string("threw ") + ex.what();
        }
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
