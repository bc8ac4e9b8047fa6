#include "logger.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstring>
#include <ctime>

namespace {

struct LevelInfo {
    const char *name;
    const char *colour;
};

const LevelInfo kLevels[] = {
    {"TRACE", "\33[94m"}, {"DEBUG", "\33[36m"}, {"INFO", "\33[32m"},
    {"WARN", "\33[33m"},  {"ERROR", "\33[31m"}, {"FATAL", "\33[35m"},
};

struct LogSink {
    LogSinkWriter writer;
    FILE *stream;
    int level;
};

constexpr int kMaxSinks = 1;

struct Logger {
    // Statically initialised so that a message logged before log_open or
    // after log_close still finds a usable lock.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int consoleLevel = LOG_LEVEL_TRACE;
    LogSink sinks[kMaxSinks] = {};
    int sinkCount = 0;
};

Logger g_log;

const LevelInfo &level_info(int level) {
    static const LevelInfo unknown = {"?????", "\33[0m"};
    if (level < 0 || level > LOG_LEVEL_FATAL) return unknown;
    return kLevels[level];
}

// One time value per message, shared by the console and the file line.
struct MessageTime {
    bool filled = false;
    char text[64] = {0};
    void fill() {
        if (filled) return;
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        time_t now = tv.tv_sec;
        struct tm local;
        localtime_r(&now, &local);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        filled = true;
    }
};

void file_writer(FILE *stream, const char *timeText, int level, const char *file, int line,
                 const char *format, va_list args) {
    fprintf(stream, "%s %-5s %s:%d: ", timeText, level_info(level).name, file, line);
    vfprintf(stream, format, args);
    fputc('\n', stream);
    fflush(stream);
}

// Rolls the file when it is gone or past the limit. A sink whose stream is
// absent (the file could not be opened) is retried quietly at each message.
void roll_if_needed(LogSink &sink) {
    if (sink.stream == nullptr) {
        sink.stream = fopen(LOG_FILE_PATH, "a");
        return;
    }
    struct stat st;
    if (stat(LOG_FILE_PATH, &st) == 0 && st.st_size <= LOG_ROLL_SIZE) return;
    fclose(sink.stream);
    printf("\nrolling log file........\n");
    fflush(stdout);
    sink.stream = fopen(LOG_FILE_PATH, "w");
}

}  // namespace

int log_add_sink(LogSinkWriter writer, FILE *stream, int level) {
    if (g_log.sinkCount >= kMaxSinks) return -1;
    g_log.sinks[g_log.sinkCount++] = LogSink{writer, stream, level};
    return 0;
}

void log_open() {
    int rc = pthread_mutex_init(&g_log.lock, nullptr);
    if (rc != 0) printf("log ctrl lock init failed! %s", strerror(rc));
    g_log.consoleLevel = LOG_LEVEL_TRACE;
    // Registered even when the open fails: the writer retries the open later.
    log_add_sink(file_writer, fopen(LOG_FILE_PATH, "a"), LOG_LEVEL_INFO);
}

void log_close() {
    // The lock itself is kept usable: a late message from a straggling thread
    // then reaches the console instead of a destroyed mutex.
    pthread_mutex_lock(&g_log.lock);
    for (int i = 0; i < g_log.sinkCount; ++i) {
        if (g_log.sinks[i].stream) fclose(g_log.sinks[i].stream);
        g_log.sinks[i] = LogSink{};
    }
    g_log.sinkCount = 0;
    pthread_mutex_unlock(&g_log.lock);
}

void log_write(int level, const char *file, int line, const char *format, ...) {
    MessageTime when;
    pthread_mutex_lock(&g_log.lock);

    if (level >= g_log.consoleLevel) {
        when.fill();
        const LevelInfo &info = level_info(level);
        fprintf(stderr, "%s %s%-5s\33[0m \33[94m%s:%d:\33[0m ", when.text, info.colour, info.name,
                file, line);
        va_list args;
        va_start(args, format);
        vfprintf(stderr, format, args);
        va_end(args);
        fputc('\n', stderr);
        fflush(stderr);
    }

    for (int i = 0; i < g_log.sinkCount; ++i) {
        LogSink &sink = g_log.sinks[i];
        if (level < sink.level) continue;
        roll_if_needed(sink);
        if (sink.stream == nullptr) continue;
        when.fill();
        va_list args;
        va_start(args, format);
        sink.writer(sink.stream, when.text, level, file, line, format, args);
        va_end(args);
    }

    pthread_mutex_unlock(&g_log.lock);
}

void log_set_console_level(int level) {
    pthread_mutex_lock(&g_log.lock);
    g_log.consoleLevel = level;
    pthread_mutex_unlock(&g_log.lock);
}

void log_hexdump(const void *data, int length) {
    static const char kPrefix[] = "                          [ ";
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    pthread_mutex_lock(&g_log.lock);

    if (LOG_LEVEL_INFO >= g_log.consoleLevel) {
        fputs(kPrefix, stderr);
        fflush(stderr);
        for (int i = 0; i < length; ++i) printf("%02x ", bytes[i]);
        printf("]\n");
        fflush(stdout);
    }

    FILE *stream = g_log.sinkCount > 0 ? g_log.sinks[0].stream : nullptr;
    if (stream) {
        fputs(kPrefix, stream);
        for (int i = 0; i < length; ++i) fprintf(stream, "%02x ", bytes[i]);
        fputs("]\n", stream);
    }

    pthread_mutex_unlock(&g_log.lock);
}
