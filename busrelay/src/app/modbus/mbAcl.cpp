#include "mbAcl.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "logger.h"

namespace {

MbAcl g_acl;
std::string g_refusal;

bool blank(const std::string &text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

bool mb_acl_parse_entry(const std::string &text, MbAclEntry *out) {
    std::string host = text;
    int prefix = 32;
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        host = text.substr(0, slash);
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 2) return false;
        for (char ch : bits)
            if (ch < '0' || ch > '9') return false;
        if (bits.size() == 2 && bits[0] == '0') return false;
        prefix = std::stoi(bits);
        if (prefix > 32) return false;
    }
    // inet_pton takes exactly four decimal parts (no shorthand forms, no
    // octal, no surrounding spaces), unlike inet_aton.
    // A NUL (from "\u0000" in the file) would end the text early for
    // inet_pton and let "1.2.3.4\u0000junk" pass as 1.2.3.4.
    struct in_addr a;
    if (host.empty() || host.find('\0') != std::string::npos ||
        inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    const uint32_t mask = prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix);
    out->mask = mask;
    out->network = ntohl(a.s_addr) & mask;
    out->prefix = prefix;
    return true;
}

std::string mb_acl_entry_text(const MbAclEntry &entry) {
    struct in_addr a;
    a.s_addr = htonl(entry.network);
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    std::string text = buf;
    if (entry.prefix != 32) text += "/" + std::to_string(entry.prefix);
    return text;
}

namespace {

// One list of the file: 0 entries when absent. False with a reason.
bool parse_list(const Json::Value &root, const char *key, MbAclEntry *entries, int *count,
                std::string *error) {
    *count = 0;
    if (!root.isMember(key)) return true;
    // The allow-list's reasons read as they always did; the read-only list names itself.
    const std::string name = std::string("\"") + key + "\"";
    const std::string which = strcmp(key, "allow") == 0 ? std::string() : name + " ";
    const Json::Value &list = root[key];
    if (!list.isArray()) {
        *error = name + " is not a list";
        return false;
    }
    if (list.size() > (Json::ArrayIndex)MB_ACL_MAX_ENTRIES) {
        *error = "more than " + std::to_string(MB_ACL_MAX_ENTRIES) + " " + which + "entries";
        return false;
    }
    int n = 0;
    for (const Json::Value &e : list) {
        MbAclEntry entry;
        if (!e.isString() || !mb_acl_parse_entry(e.asString(), &entry)) {
            *error = which + "entry " + std::to_string(n + 1) + " (" +
                     (e.isString() ? e.asString() : e.toStyledString().substr(0, 40)) +
                     ") is not an IPv4 address or range";
            while (!error->empty() && (error->back() == '\n')) error->pop_back();
            return false;
        }
        entries[n++] = entry;
    }
    *count = n;
    return true;
}

bool matches(const MbAclEntry *entries, int count, uint32_t address) {
    for (int i = 0; i < count; ++i)
        if ((address & entries[i].mask) == entries[i].network) return true;
    return false;
}

std::string list_text(const MbAclEntry *entries, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i) text += ", ";
        text += mb_acl_entry_text(entries[i]);
    }
    return text;
}

}  // namespace

bool mb_acl_parse(const std::string &text, MbAcl *acl, std::string *error,
                  std::string *ignored) {
    acl->count = 0;
    acl->readOnlyCount = 0;
    if (ignored) ignored->clear();
    if (blank(text)) return true;
    Json::Value root;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    std::istringstream in(text);
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, in, &root, &errors);
    } catch (const std::exception &ex) {
        // jsoncpp throws past its nesting limit: a refused file, not a crash
        // at start-up.
        errors = ex.what();
    }
    if (!parsed) {
        // jsoncpp's message spans lines: one line for the log.
        std::string why;
        for (char ch : errors) {
            if (ch == '\n' || ch == '\r') ch = ' ';
            if (ch != ' ' || (!why.empty() && why.back() != ' ')) why += ch;
        }
        while (!why.empty() && why.back() == ' ') why.pop_back();
        *error = "not JSON: " + why;
        return false;
    }
    if (!root.isObject()) {
        *error = "not a JSON object";
        return false;
    }
    if (!root.isMember("allow") && !root.isMember("readOnly")) {
        // {} is an empty list; any other key is a mistake worth telling.
        if (root.empty()) return true;
        *error = "no \"allow\" or \"readOnly\" list";
        return false;
    }
    MbAcl parsed_acl;
    if (!parse_list(root, "allow", parsed_acl.entries, &parsed_acl.count, error) ||
        !parse_list(root, "readOnly", parsed_acl.readOnly, &parsed_acl.readOnlyCount, error))
        return false;
    *acl = parsed_acl;
    if (ignored) {
        for (const std::string &key : root.getMemberNames()) {
            if (key == "allow" || key == "readOnly") continue;
            if (!ignored->empty()) *ignored += ", ";
            *ignored += "\"" + key + "\"";
        }
    }
    return true;
}

MbAclVerdict mb_acl_check(const MbAcl &acl, uint32_t address) {
    // The narrower right wins: a read-only entry limits even a client that
    // the allow-list also names.
    if (matches(acl.readOnly, acl.readOnlyCount, address)) return MB_ACL_READ_ONLY;
    if (acl.count == 0 || matches(acl.entries, acl.count, address)) return MB_ACL_READ_WRITE;
    return MB_ACL_REFUSE;
}

bool mb_acl_allows(const MbAcl &acl, uint32_t address) {
    return mb_acl_check(acl, address) != MB_ACL_REFUSE;
}

MbAclLoad mb_acl_load(const char *path) {
    g_acl = MbAcl();
    g_refusal.clear();
    struct stat st;
    if (stat(path, &st) != 0 && errno == ENOENT) {
        LOG_INFO("no %s: the Modbus port accepts every client", path);
        return MB_ACL_ABSENT;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in || !S_ISREG(st.st_mode)) {
        g_refusal = "cannot be read";
        LOG_ERROR("%s refused (%s): NO client allow-list in force, the Modbus port accepts "
                  "every client", path, g_refusal.c_str());
        return MB_ACL_REFUSED;
    }
    std::ostringstream text;
    text << in.rdbuf();
    MbAcl parsed;
    std::string ignored;
    if (!mb_acl_parse(text.str(), &parsed, &g_refusal, &ignored)) {
        LOG_ERROR("%s refused (%s): NO client allow-list in force, the Modbus port accepts "
                  "every client", path, g_refusal.c_str());
        return MB_ACL_REFUSED;
    }
    if (!ignored.empty())
        LOG_WARN("%s: %s ignored (only \"allow\" and \"readOnly\" are read)", path,
                 ignored.c_str());
    g_acl = parsed;
    if (g_acl.count == 0 && g_acl.readOnlyCount == 0) {
        LOG_INFO("%s lists no address: the Modbus port accepts every client", path);
        return MB_ACL_EMPTY;
    }
    if (g_acl.readOnlyCount == 0) {
        LOG_INFO("%s: the Modbus port accepts clients only from %s", path,
                 mb_acl_summary().c_str());
    } else if (g_acl.count == 0) {
        LOG_INFO("%s: the Modbus port accepts every client; read-only (writes refused with "
                 "exception 1): %s", path, mb_acl_read_only_summary().c_str());
    } else {
        LOG_INFO("%s: the Modbus port accepts clients only from %s and, read-only (writes "
                 "refused with exception 1), from %s", path, mb_acl_summary().c_str(),
                 mb_acl_read_only_summary().c_str());
    }
    return MB_ACL_ACTIVE;
}

const MbAcl &mb_acl_current() { return g_acl; }

const std::string &mb_acl_refusal() { return g_refusal; }

std::string mb_acl_summary() { return list_text(g_acl.entries, g_acl.count); }

std::string mb_acl_read_only_summary() { return list_text(g_acl.readOnly, g_acl.readOnlyCount); }

MbAclVerdict mb_acl_check_client(uint32_t addressNetworkOrder) {
    return mb_acl_check(g_acl, ntohl(addressNetworkOrder));
}

bool mb_acl_allows_client(uint32_t addressNetworkOrder) {
    return mb_acl_check_client(addressNetworkOrder) != MB_ACL_REFUSE;
}
