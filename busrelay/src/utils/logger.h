// Process-wide logger: coloured console lines on stderr, plain lines in
// /tmp/mb.log (INFO and above), rolled when the file passes 2 MiB or vanishes.
#pragma once

#include <cstddef>
#include <cstdarg>
#include <cstdio>

enum LogLevel {
    LOG_LEVEL_TRACE = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_ERROR = 4,
    LOG_LEVEL_FATAL = 5,
};

constexpr const char *LOG_FILE_PATH = "/tmp/mb.log";
constexpr long LOG_ROLL_SIZE = 0x200000;  // 2 MiB

void log_open();
void log_close();
void log_write(int level, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void log_hexdump(const void *data, int length);
// Deferred mode for the calling thread (an event loop): its lines collect in
// memory and leave with log_flush(), which the loop calls before it sleeps;
// before it sends a reply it writes the file's share (log_flush_file: what was
// logged about a request is in the file before its answer leaves). A burst of
// lines costs one write per destination. Off: every line leaves at
// once. A terminal console is never deferred.
void log_set_deferred(bool on);
void log_flush();
// Writes the deferred lines of the log file only (the console keeps its own).
void log_flush_file();
// log_flush() when the oldest unwritten line is at least `ms` old.
void log_flush_if_older(int ms);
// Raw console text (fd 1 or 2) in order with the logger's own output.
void log_console_text(int fd, const char *text, int length);
// Lowest level shown on the console (TRACE after log_open). Hex dumps count
// as INFO. The file keeps its own level.
void log_set_console_level(int level);

// Sink table with room for exactly one entry; -1 when it is full.
typedef void (*LogSinkWriter)(FILE *stream, const char *timeText, int level,
                              const char *file, int line, const char *format, va_list args);
int log_add_sink(LogSinkWriter writer, FILE *stream, int level);

// Base name of a source path, evaluated at compile time for __FILE__.
constexpr const char *log_base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/') base = p + 1;
    return base;
}

#define LOG_AT(level, ...)                                                        \
    do {                                                                          \
        constexpr const char *log_file_base_ = log_base_name(__FILE__);           \
        log_write((level), log_file_base_, __LINE__, __VA_ARGS__);                \
    } while (0)

#define LOG_TRACE(...) LOG_AT(LOG_LEVEL_TRACE, __VA_ARGS__)
#define LOG_DEBUG(...) LOG_AT(LOG_LEVEL_DEBUG, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(LOG_LEVEL_INFO, __VA_ARGS__)
#define LOG_WARN(...) LOG_AT(LOG_LEVEL_WARN, __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT(LOG_LEVEL_ERROR, __VA_ARGS__)
#define LOG_FATAL(...) LOG_AT(LOG_LEVEL_FATAL, __VA_ARGS__)
