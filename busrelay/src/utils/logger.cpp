#include "logger.h"

#include <pthread.h>
#include <sys/stat.h>

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

// The time text changes once a second: it is made again only then. Used
// under the logger's lock.
struct TimeCache {
    time_t second = (time_t)-1;
    char text[64] = {0};
    const char *now() {
        time_t t = time(nullptr);
        if (t != second) {
            struct tm local;
            localtime_r(&t, &local);
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
            second = t;
        }
        return text;
    }
};
TimeCache g_time;

// One time value per message, shared by the console and the file line.
struct MessageTime {
    const char *text = nullptr;
    void fill() {
        if (text == nullptr) text = g_time.now();
    }
};

// A whole line is built here and written with one call. Longer messages
// (rare: a long gateway payload) are cut at the buffer's end.
constexpr int kLineMax = 4096;

struct LineBuffer {
    char data[kLineMax];
    int len = 0;
    void add(const char *text, int n) {
        if (n > kLineMax - 1 - len) n = kLineMax - 1 - len;
        if (n <= 0) return;
        memcpy(data + len, text, (size_t)n);
        len += n;
    }
    void addf(const char *format, va_list args) {
        int room = kLineMax - 1 - len;
        if (room <= 0) return;
        int n = vsnprintf(data + len, (size_t)room + 1, format, args);
        if (n < 0) return;
        len += n < room ? n : room;
    }
    void addc(char c) {
        if (len < kLineMax) data[len++] = c;
    }
};

void file_writer(FILE *stream, const char *timeText, int level, const char *file, int line,
                 const char *format, va_list args) {
    LineBuffer b;
    char head[192];
    int n = snprintf(head, sizeof head, "%s %-5s %s:%d: ", timeText, level_info(level).name,
                     file, line);
    b.add(head, n < (int)sizeof head ? n : (int)sizeof head - 1);
    b.addf(format, args);
    b.addc('\n');
    fwrite(b.data, 1, (size_t)b.len, stream);
    fflush(stream);
}

// Rolls the file when it is gone or past the limit. A sink whose stream is
// absent (the file could not be opened) is retried quietly at each message.
// The open stream is examined (fstat), not the path: a removed file has no
// links left, and no path lookup is made per message.
void roll_if_needed(LogSink &sink) {
    if (sink.stream == nullptr) {
        sink.stream = fopen(LOG_FILE_PATH, "a");
        return;
    }
    struct stat st;
    if (fstat(fileno(sink.stream), &st) == 0 && st.st_nlink > 0 && st.st_size <= LOG_ROLL_SIZE)
        return;
    fclose(sink.stream);
    printf("\nrolling log file........\n");
    fflush(stdout);
    sink.stream = fopen(LOG_FILE_PATH, "w");
}

// "%02x " for every byte, without printf.
int hex_bytes(char *out, const unsigned char *bytes, int length) {
    static const char kDigits[] = "0123456789abcdef";
    char *p = out;
    for (int i = 0; i < length; ++i) {
        *p++ = kDigits[bytes[i] >> 4];
        *p++ = kDigits[bytes[i] & 15];
        *p++ = ' ';
    }
    return (int)(p - out);
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
        LineBuffer b;
        char head[256];
        int n = snprintf(head, sizeof head, "%s %s%-5s\33[0m \33[94m%s:%d:\33[0m ", when.text,
                         info.colour, info.name, file, line);
        b.add(head, n < (int)sizeof head ? n : (int)sizeof head - 1);
        va_list args;
        va_start(args, format);
        b.addf(format, args);
        va_end(args);
        b.addc('\n');
        fwrite(b.data, 1, (size_t)b.len, stderr);  // unbuffered: one write
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

    // Frames are at most 260 bytes; a longer buffer is dumped in pieces of
    // the same line. The console copy leaves with one flush.
    char text[3 * 256 + 4];
    const bool console = LOG_LEVEL_INFO >= g_log.consoleLevel;
    FILE *stream = g_log.sinkCount > 0 ? g_log.sinks[0].stream : nullptr;
    if (console) fwrite(kPrefix, 1, sizeof kPrefix - 1, stderr);
    if (stream) fwrite(kPrefix, 1, sizeof kPrefix - 1, stream);
    int done = 0;
    do {
        int chunk = length - done > 256 ? 256 : length - done;
        int n = chunk > 0 ? hex_bytes(text, bytes + done, chunk) : 0;
        done += chunk > 0 ? chunk : 0;
        if (done >= length) {
            text[n++] = ']';
            text[n++] = '\n';
        }
        if (console) fwrite(text, 1, (size_t)n, stdout);
        if (stream) fwrite(text, 1, (size_t)n, stream);
    } while (done < length);
    if (console) fflush(stdout);

    pthread_mutex_unlock(&g_log.lock);
}
