// One unit's four Modbus tables. No lock of its own: after start-up every
// access is made under the Modbus context lock.
#pragma once

#include <cstdint>

struct RegisterMap {
    uint32_t nb_bits;
    uint32_t start_bits;
    uint32_t nb_input_bits;
    uint32_t start_input_bits;
    uint32_t nb_input_registers;
    uint32_t start_input_registers;
    uint32_t nb_registers;
    uint32_t start_registers;
    uint8_t *tab_bits;              // coils, 0 or 1 each
    uint8_t *tab_input_bits;        // discrete inputs, 0 or 1 each
    uint16_t *tab_input_registers;
    uint16_t *tab_registers;        // holding registers
};

// Zero-filled tables; a count of 0 leaves that table absent. Null (errno set
// by the failed allocation) when any allocation fails; nothing leaks.
RegisterMap *register_map_new(unsigned start_bits, unsigned nb_bits, unsigned start_input_bits,
                              unsigned nb_input_bits, unsigned start_registers,
                              unsigned nb_registers, unsigned start_input_registers,
                              unsigned nb_input_registers);
void register_map_free(RegisterMap *map);
// Start-up only: widens the input register table so that it also covers
// first..last, every value keeping its address (new registers read 0).
// 0, or -1 when the allocation fails (the map is then unchanged).
int register_map_cover_input_registers(RegisterMap *map, uint32_t first, uint32_t last);

// Index of `address` in a table (start, count), or -1 when out of range.
// Signed difference: addresses below the start are invalid, not wrapped.
long register_index(uint32_t start, uint32_t count, long address);

int set_coil(RegisterMap *map, uint16_t address, uint8_t value);
int set_input_status(RegisterMap *map, uint16_t address, uint8_t value);
int set_hold_reg(RegisterMap *map, uint16_t address, uint16_t value);
int set_input_reg(RegisterMap *map, uint16_t address, uint16_t value);
int read_16(const RegisterMap *map, uint16_t address, uint16_t *out);
