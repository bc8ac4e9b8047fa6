#include "registerMap.h"

#include <cerrno>
#include <cstdlib>

#include "logger.h"

namespace {

template <typename T>
bool alloc_table(T **table, unsigned count) {
    *table = nullptr;
    if (count == 0) return true;
    *table = static_cast<T *>(calloc(count, sizeof(T)));
    return *table != nullptr;
}

}  // namespace

RegisterMap *register_map_new(unsigned start_bits, unsigned nb_bits, unsigned start_input_bits,
                              unsigned nb_input_bits, unsigned start_registers,
                              unsigned nb_registers, unsigned start_input_registers,
                              unsigned nb_input_registers) {
    RegisterMap *map = static_cast<RegisterMap *>(calloc(1, sizeof(RegisterMap)));
    if (map == nullptr) return nullptr;
    map->nb_bits = nb_bits;
    map->start_bits = start_bits;
    map->nb_input_bits = nb_input_bits;
    map->start_input_bits = start_input_bits;
    map->nb_input_registers = nb_input_registers;
    map->start_input_registers = start_input_registers;
    map->nb_registers = nb_registers;
    map->start_registers = start_registers;
    if (!alloc_table(&map->tab_bits, nb_bits) ||
        !alloc_table(&map->tab_input_bits, nb_input_bits) ||
        !alloc_table(&map->tab_input_registers, nb_input_registers) ||
        !alloc_table(&map->tab_registers, nb_registers)) {
        int saved = errno;
        register_map_free(map);
        errno = saved;
        return nullptr;
    }
    return map;
}

void register_map_free(RegisterMap *map) {
    if (map == nullptr) return;
    free(map->tab_bits);
    free(map->tab_input_bits);
    free(map->tab_input_registers);
    free(map->tab_registers);
    free(map);
}

int register_map_cover_input_registers(RegisterMap *map, uint32_t first, uint32_t last) {
    if (map == nullptr || first > last) return -1;
    const uint32_t oldStart = map->start_input_registers;
    const uint32_t oldCount = map->nb_input_registers;
    uint32_t start = first, end = last;  // end inclusive
    if (oldCount > 0) {
        const uint32_t oldEnd = oldStart + oldCount - 1;
        if (oldStart <= first && oldEnd >= last) return 0;
        start = oldStart < first ? oldStart : first;
        end = oldEnd > last ? oldEnd : last;
    }
    const uint32_t count = end - start + 1;
    uint16_t *table = static_cast<uint16_t *>(calloc(count, sizeof(uint16_t)));
    if (table == nullptr) return -1;
    for (uint32_t i = 0; i < oldCount; ++i) table[oldStart - start + i] = map->tab_input_registers[i];
    free(map->tab_input_registers);
    map->tab_input_registers = table;
    map->start_input_registers = start;
    map->nb_input_registers = count;
    return 0;
}

long register_index(uint32_t start, uint32_t count, long address) {
    // 64-bit arithmetic: on the 32-bit gateway a long cannot hold every start.
    int64_t index = (int64_t)address - (int64_t)start;
    if (index < 0 || index >= (int64_t)count) return -1;
    return (long)index;
}

namespace {

// Index of the address in a table, or -1 after the store's WARN for `op`.
long checked_index(uint32_t start, uint32_t count, uint16_t address, const char *op) {
    long i = register_index(start, count, address);
    if (i < 0) LOG_WARN("illegal data address 0x%0X in %s", address, op);
    return i;
}

}  // namespace

int set_coil(RegisterMap *map, uint16_t address, uint8_t value) {
    long i = checked_index(map->start_bits, map->nb_bits, address, "write_bit");
    if (i < 0) return -1;
    LOG_INFO("set coil %d to %d", address, value);
    map->tab_bits[i] = value ? 1 : 0;
    return 0;
}

int set_input_status(RegisterMap *map, uint16_t address, uint8_t value) {
    long i = checked_index(map->start_input_bits, map->nb_input_bits, address, "write_bit");
    if (i < 0) return -1;
    LOG_INFO("set intput_status %d to %d", address, value);
    map->tab_input_bits[i] = value ? 1 : 0;
    return 0;
}

int set_hold_reg(RegisterMap *map, uint16_t address, uint16_t value) {
    long i = checked_index(map->start_registers, map->nb_registers, address, "write_16");
    if (i < 0) return -1;
    LOG_INFO("set hold_reg %d to 0x%04x", address, value);
    map->tab_registers[i] = value;
    return 0;
}

int set_input_reg(RegisterMap *map, uint16_t address, uint16_t value) {
    long i = checked_index(map->start_input_registers, map->nb_input_registers, address,
                           "write_16");
    if (i < 0) return -1;
    LOG_INFO("set input_reg %d to 0x%04x", address, value);
    map->tab_input_registers[i] = value;
    return 0;
}

int read_16(const RegisterMap *map, uint16_t address, uint16_t *out) {
    long i = checked_index(map->start_input_registers, map->nb_input_registers, address,
                           "read_16");
    if (i < 0) return -1;
    *out = map->tab_input_registers[i];
    return 0;
}
