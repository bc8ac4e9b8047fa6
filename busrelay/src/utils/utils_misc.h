// Timed semaphore wait, bit routines and the '/'-path tokenizer.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <string>

// ms <= 0 waits without limit. A time-out is not a failure: both it and a
// taken semaphore give 0; any other failure gives -1.
int sem_wait_ms(sem_t *sem, int ms);

int lowest_set_bit(uint32_t mask);   // only called with mask != 0
int highest_set_bit(uint32_t mask);  // -1 for 0
int count_set_bits(uint32_t mask);

// Splits a text into maximal runs of non-delimiter characters; runs of
// delimiters only separate, so there are no empty tokens.
struct Tokenizer {
    Tokenizer(const std::string &text, const std::string &delimiters);

    std::string text;
    std::string delimiters;
    size_t length;
    size_t position;
};

bool tok_has_more(Tokenizer &tok);
std::string tok_next(Tokenizer &tok);
std::string tok_next_with(Tokenizer &tok, const std::string &delimiters);
int tok_count(const Tokenizer &tok);
