// Counts every heap allocation of the process (operator new and the C
// allocator, through glibc's symbol interposition), so a benchmark can show
// what a traffic path allocates after start-up.
#pragma once

long alloc_count();
