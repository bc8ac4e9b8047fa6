// Shared by the device-model tests: log capture through the logger's one
// sink slot, and scratch files in a private temporary directory.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "logger.h"

struct LoggedLine {
    int level;
    std::string text;
};

inline std::vector<LoggedLine> &logged_lines() {
    static std::vector<LoggedLine> lines;
    return lines;
}

inline void capture_writer(FILE *, const char *, int level, const char *, int, const char *format,
                           va_list args) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, format, args);
    logged_lines().push_back({level, buf});
}

// Call once per program (the logger has room for one sink); then clear and
// inspect logged_lines().
inline void start_log_capture() {
    static bool started = false;
    if (!started) log_add_sink(capture_writer, stderr, LOG_LEVEL_TRACE);
    started = true;
    logged_lines().clear();
}

inline bool logged(const std::string &text, int level = -1) {
    for (const auto &l : logged_lines())
        if (l.text.find(text) != std::string::npos && (level < 0 || l.level == level)) return true;
    return false;
}

inline int count_at_least(int level) {
    int n = 0;
    for (const auto &l : logged_lines())
        if (l.level >= level) ++n;
    return n;
}

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char tmpl[] = "/tmp/devmodel_test_XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~ScratchDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (path != "/tmp") (void)!system(cmd.c_str());
    }
    std::string write(const std::string &name, const std::string &text) const {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    std::string mkdir(const std::string &name) const {
        std::string p = path + "/" + name;
        ::mkdir(p.c_str(), 0700);
        return p;
    }
};

inline std::string sample_dir() {
    if (const char *src = getenv("SOURCE_DIR")) return std::string(src) + "/busrelay/sample";
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/")) + "/sample";
}
