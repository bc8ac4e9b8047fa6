// mbacl_check < CASES
// Feeds texts to the service's own allow-list reader. Each case on stdin is a
// header line "entry N" or "file N" followed by N bytes of text; for each the
// program prints one line: "ok" and the normalised entries separated by
// spaces, or "refused". A reader that throws prints "threw" and the message.
#include "mbAcl.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

int main()
{
    std::string kind;
    size_t size = 0;
    while (std::cin >> kind >> size) {
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
                std::string error;
                if (mb_acl_parse(text, &acl, &error)) {
                    line = "ok";
                    for (int i = 0; i < acl.count; ++i)
                        line += " " + mb_acl_entry_text(acl.entries[i]);
                } else {
                    line = "refused";
                }
            }
        } catch (const std::exception &ex) {
            line = std::string("threw ") + ex.what();
        }
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
