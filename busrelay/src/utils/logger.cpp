#include "logger.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// Output waiting to be written, one per destination. A thread in deferred
// mode (the main loop, the gateway link's receive thread) leaves its lines
// here and log_flush() writes each buffer with one call before the thread
// waits; everyone else's lines (and theirs, if pending) leave at once.
constexpr int kOutBuffer = 64 * 1024;
struct OutBuf {
    int fd;
    int len;
    char data[kOutBuffer];
};

struct Logger {
    // Statically initialised so that a message logged before log_open or
    // after log_close still finds a usable lock.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int consoleLevel = LOG_LEVEL_TRACE;
    LogSink sinks[kMaxSinks] = {};
    int sinkCount = 0;
    bool consoleDefer = false;  // the console is no terminal: it may wait for a flush
    bool sameConsole = false;   // stdout and stderr are one file: keep one order
    long fileSize = 0;          // bytes in the log file, counted while deferring
    int64_t pendingSince = -1;  // ms (monotonic) of the oldest unwritten byte, -1: none
    OutBuf err = {2, 0, {}};
    OutBuf out = {1, 0, {}};
    OutBuf file = {-1, 0, {}};
};

Logger g_log;
thread_local bool t_defer = false;

void write_all(int fd, const char *data, int len) {
    for (int guard = 0; len > 0 && guard < 1000; ++guard) {
        ssize_t n = write(fd, data, (size_t)len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // console or file errors are ignored
        data += n;
        len -= (int)n;
    }
}

void drain(OutBuf &b) {
    if (b.len > 0 && b.fd >= 0) write_all(b.fd, b.data, b.len);
    b.len = 0;
}

int64_t mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void put(OutBuf &b, const char *data, int len) {
    if (len <= 0) return;
    if (g_log.pendingSince < 0) g_log.pendingSince = mono_ms();
    if (b.len + len > kOutBuffer) drain(b);
    if (len > kOutBuffer) {
        write_all(b.fd, data, len);
        return;
    }
    memcpy(b.data + b.len, data, (size_t)len);
    b.len += len;
}

// Where standard-output text goes: while deferring into one file that both
// streams share, through the same buffer as standard error, so that the
// hex dump's halves stay in order.
// Nothing left unwritten: no age to watch.
void settle() {
    if (g_log.err.len == 0 && g_log.out.len == 0 && g_log.file.len == 0) g_log.pendingSince = -1;
}

OutBuf &console_out() {
    return g_log.sameConsole && t_defer && g_log.consoleDefer ? g_log.err : g_log.out;
}

void drain_console() {
    drain(g_log.err);
    drain(g_log.out);
}

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

// A whole line is built here. Longer messages (rare: a long gateway payload)
// are cut at the buffer's end.
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
    if (stream == nullptr) return;
    if (g_log.file.fd == fileno(stream)) {
        put(g_log.file, b.data, b.len);
    } else {
        fwrite(b.data, 1, (size_t)b.len, stream);
        fflush(stream);
    }
    g_log.fileSize += b.len;
}

// (Re)opens the file; the size is taken from the file itself.
void attach_file(LogSink &sink, const char *mode) {
    sink.stream = fopen(LOG_FILE_PATH, mode);
    g_log.file.fd = sink.stream ? fileno(sink.stream) : -1;
    g_log.file.len = 0;
    struct stat st;
    g_log.fileSize = sink.stream && fstat(g_log.file.fd, &st) == 0 ? (long)st.st_size : 0;
}

void roll(LogSink &sink, bool keepPending) {
    // Lines still waiting belonged to the old file, which is discarded; when
    // it vanished under us they are the new file's first lines instead.
    char keep[kOutBuffer];
    int keepLen = 0;
    if (keepPending && g_log.file.len > 0) {
        keepLen = g_log.file.len;
        memcpy(keep, g_log.file.data, (size_t)keepLen);
    }
    g_log.file.len = 0;
    fclose(sink.stream);
    drain(console_out());
    printf("\nrolling log file........\n");
    fflush(stdout);
    attach_file(sink, "w");
    if (keepLen > 0 && g_log.file.fd >= 0) {
        put(g_log.file, keep, keepLen);
        g_log.fileSize += keepLen;
    }
}

// Rolls the file when it is gone or past the limit, examined before a
// message is written to it. A sink whose stream is absent (the file could not
// be opened) is retried quietly at each message. The open file is examined
// (fstat), not the path: a removed file has no links left. While deferring,
// the size is counted instead, and the file is examined at each flush.
void roll_if_needed(LogSink &sink) {
    if (sink.stream == nullptr) {
        attach_file(sink, "a");
        return;
    }
    if (t_defer) {
        if (g_log.fileSize > LOG_ROLL_SIZE) {
            drain(g_log.file);
            roll(sink, false);
        }
        return;
    }
    struct stat st;
    if (fstat(fileno(sink.stream), &st) == 0 && st.st_nlink > 0 && st.st_size <= LOG_ROLL_SIZE) {
        g_log.fileSize = (long)st.st_size + g_log.file.len;
        return;
    }
    roll(sink, false);
}

// Deferred lines: the file is examined at most once a second (a removed file
// is noticed within a second; the size is counted per line meanwhile).
void flush_file_checked() {
    if (g_log.sinkCount == 0 || g_log.file.len == 0) return;
    LogSink &sink = g_log.sinks[0];
    if (sink.stream == nullptr) return;
    static time_t lastCheck = (time_t)-1;
    const time_t now = time(nullptr);
    if (now != lastCheck) {
        lastCheck = now;
        struct stat st;
        if (fstat(fileno(sink.stream), &st) == 0) {
            if (st.st_nlink == 0) roll(sink, true);
            else g_log.fileSize = (long)st.st_size + g_log.file.len;  // others may append
        }
    }
    drain(g_log.file);
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

bool same_file(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
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
    g_log.consoleDefer = !isatty(1) && !isatty(2);
    g_log.sameConsole = same_file(1, 2);
    fflush(stdout);
    // Registered even when the open fails: the writer retries the open later.
    if (log_add_sink(file_writer, nullptr, LOG_LEVEL_INFO) == 0)
        attach_file(g_log.sinks[g_log.sinkCount - 1], "a");
}

void log_close() {
    // The lock itself is kept usable: a late message from a straggling thread
    // then reaches the console instead of a destroyed mutex.
    pthread_mutex_lock(&g_log.lock);
    flush_file_checked();
    drain_console();
    for (int i = 0; i < g_log.sinkCount; ++i) {
        if (g_log.sinks[i].stream) fclose(g_log.sinks[i].stream);
        g_log.sinks[i] = LogSink{};
    }
    g_log.sinkCount = 0;
    g_log.file.fd = -1;
    g_log.file.len = 0;
    pthread_mutex_unlock(&g_log.lock);
}

void log_set_deferred(bool on) {
    if (!on) log_flush();
    t_defer = on;
}

void log_flush() {
    pthread_mutex_lock(&g_log.lock);
    flush_file_checked();
    drain_console();
    g_log.pendingSince = -1;
    pthread_mutex_unlock(&g_log.lock);
}

void log_flush_file() {
    pthread_mutex_lock(&g_log.lock);
    flush_file_checked();
    settle();
    pthread_mutex_unlock(&g_log.lock);
}

void log_flush_if_older(int ms) {
    pthread_mutex_lock(&g_log.lock);
    const bool due = g_log.pendingSince >= 0 && mono_ms() - g_log.pendingSince >= ms;
    pthread_mutex_unlock(&g_log.lock);
    if (due) log_flush();
}

void log_console_text(int fd, const char *text, int length) {
    pthread_mutex_lock(&g_log.lock);
    put(fd == 2 ? g_log.err : console_out(), text, length);
    if (!t_defer || !g_log.consoleDefer) drain_console();
    settle();
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
        put(g_log.err, b.data, b.len);
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

    if (!t_defer) {
        drain_console();
        drain(g_log.file);
    } else if (!g_log.consoleDefer) {
        drain_console();
    }
    settle();
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
    // the same line. The file copy is not flushed here: it leaves with the
    // next log line (or flush).
    char text[3 * 256 + 4];
    const bool console = LOG_LEVEL_INFO >= g_log.consoleLevel;
    const bool toFile = g_log.sinkCount > 0 && g_log.sinks[0].stream != nullptr &&
                        g_log.file.fd >= 0;
    if (console) put(g_log.err, kPrefix, (int)sizeof kPrefix - 1);
    if (toFile) put(g_log.file, kPrefix, (int)sizeof kPrefix - 1);
    int done = 0;
    do {
        int chunk = length - done > 256 ? 256 : length - done;
        int n = chunk > 0 ? hex_bytes(text, bytes + done, chunk) : 0;
        done += chunk > 0 ? chunk : 0;
        if (done >= length) {
            text[n++] = ']';
            text[n++] = '\n';
        }
        if (console) put(console_out(), text, n);
        if (toFile) {
            put(g_log.file, text, n);
            g_log.fileSize += n;
        }
    } while (done < length);
    g_log.fileSize += toFile ? (int)sizeof kPrefix - 1 : 0;
    if (!t_defer || !g_log.consoleDefer) drain_console();
    settle();

    pthread_mutex_unlock(&g_log.lock);
}
