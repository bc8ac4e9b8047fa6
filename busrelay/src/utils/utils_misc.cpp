#include "utils_misc.h"

#include <sys/time.h>

#include <cerrno>

int sem_wait_ms(sem_t *sem, int ms) {
    if (ms <= 0) {
        while (sem_wait(sem) != 0) {
            if (errno != EINTR) return -1;
        }
        return 0;
    }

    struct timeval now;
    gettimeofday(&now, nullptr);
    long long usec = (long long)now.tv_usec + (long long)ms * 1000;
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + (time_t)(usec / 1000000);
    deadline.tv_nsec = (long)(usec % 1000000) * 1000;

    while (sem_timedwait(sem, &deadline) != 0) {
        if (errno == EINTR) continue;
        if (errno == ETIMEDOUT) return 0;
        return -1;
    }
    return 0;
}

int lowest_set_bit(uint32_t mask) {
    return __builtin_ctz(mask);
}

int highest_set_bit(uint32_t mask) {
    if (mask == 0) return -1;
    return 31 - __builtin_clz(mask);
}

int count_set_bits(uint32_t mask) {
    return __builtin_popcount(mask);
}

Tokenizer::Tokenizer(const std::string &t, const std::string &d)
    : text(t), delimiters(d), length(t.size()), position(0) {}

static bool is_delimiter(const Tokenizer &tok, char c) {
    return tok.delimiters.find(c) != std::string::npos;
}

static void skip_delimiters(Tokenizer &tok) {
    while (tok.position < tok.length && is_delimiter(tok, tok.text[tok.position])) ++tok.position;
}

bool tok_has_more(Tokenizer &tok) {
    skip_delimiters(tok);
    return tok.position < tok.length;
}

std::string tok_next(Tokenizer &tok) {
    skip_delimiters(tok);
    size_t start = tok.position;
    while (tok.position < tok.length && !is_delimiter(tok, tok.text[tok.position])) ++tok.position;
    return tok.text.substr(start, tok.position - start);
}

std::string tok_next_with(Tokenizer &tok, const std::string &delimiters) {
    tok.delimiters = delimiters;
    return tok_next(tok);
}

int tok_count(const Tokenizer &tok) {
    int count = 0;
    bool inToken = false;
    for (size_t i = tok.position; i < tok.length; ++i) {
        bool delim = is_delimiter(tok, tok.text[i]);
        if (!delim && !inToken) ++count;
        inToken = !delim;
    }
    return count;
}
