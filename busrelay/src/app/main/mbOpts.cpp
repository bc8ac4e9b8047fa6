#include "mbOpts.h"

#include <json/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <fstream>
#include <sstream>

#include "logger.h"

namespace {

MbOptions g_options;
std::string g_refusal;

bool blank(const std::string &text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string one_line(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\n' || ch == '\r') ch = ' ';
        if (ch != ' ' || (!out.empty() && out.back() != ' ')) out += ch;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

bool mb_opts_parse(const std::string &text, MbOptions *out, std::string *error) {
    *out = MbOptions();
    if (blank(text)) return true;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    // One meaning per file: a key given twice or text behind the object is a mistake.
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    Json::Value root;
    std::string errors;
    std::istringstream in(text);
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, in, &root, &errors);
    } catch (const std::exception &ex) {
        errors = ex.what();  // past the reader's nesting limit
    }
    if (!parsed) {
        *error = "not JSON: " + one_line(errors);
        return false;
    }
    if (!root.isObject()) {
        *error = "not a JSON object";
        return false;
    }
    MbOptions parsedOptions;
    for (const std::string &key : root.getMemberNames()) {
        const Json::Value &v = root[key];
        if (key == "offlineException") {
            if (!v.isBool()) {
                *error = "\"offlineException\" is not true or false";
                return false;
            }
            parsedOptions.offlineException = v.asBool();
        } else {
            *error = "unknown key \"" + key + "\" (known: \"offlineException\")";
            return false;
        }
    }
    *out = parsedOptions;
    return true;
}

MbOptsLoad mb_opts_load(const char *path) {
    g_options = MbOptions();
    g_refusal.clear();
    struct stat st;
    if (stat(path, &st) != 0 && errno == ENOENT) {
        LOG_INFO("no %s: default options (%s)", path, mb_opts_summary().c_str());
        return MB_OPTS_ABSENT;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in && S_ISREG(st.st_mode)) text << in.rdbuf();
    MbOptions parsed;
    if (!in || !S_ISREG(st.st_mode)) {
        g_refusal = "cannot be read";
    } else if (!mb_opts_parse(text.str(), &parsed, &g_refusal)) {
        if (g_refusal.empty()) g_refusal = "refused";
    }
    if (!g_refusal.empty()) {
        LOG_ERROR("%s refused (%s): the default options apply (%s)", path, g_refusal.c_str(),
                  mb_opts_summary().c_str());
        return MB_OPTS_REFUSED;
    }
    g_options = parsed;
    if (g_options.offlineException)
        LOG_INFO("%s: offlineException on: reads of a unit whose online bit is 0, and bridged "
                 "requests the gateway leaves unanswered, get exception 11", path);
    else
        LOG_INFO("%s: %s", path, mb_opts_summary().c_str());
    return MB_OPTS_LOADED;
}

const MbOptions &mb_opts() { return g_options; }

const std::string &mb_opts_refusal() { return g_refusal; }

std::string mb_opts_summary() {
    return std::string("offlineException ") + (g_options.offlineException ? "on" : "off");
}

void mb_opts_set(const MbOptions &options) { g_options = options; }
