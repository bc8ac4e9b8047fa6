#!/usr/bin/python3
"""pymodbus's own Modbus TCP server with fixed contents, for the panel tests.

usage: mbserver.py PORT

Each table has 1100 entries at addresses 0..1099 (zero_mode, so address a is
entry a); addresses from 1100 on give exception 2. Any unit id is answered.
  coils            a % 3 == 0
  discrete inputs  a % 2 == 1
  holding regs     0x1000 + a
  input regs       0x2000 + a
"""
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartTcpServer

SIZE = 1100


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 502
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    store = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [a % 3 == 0 for a in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [a % 2 == 1 for a in range(SIZE)]),
        hr=ModbusSequentialDataBlock(0, [0x1000 + a for a in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [0x2000 + a for a in range(SIZE)]),
        zero_mode=True)
    context = ModbusServerContext(slaves=store, single=True)
    StartTcpServer(context=context, address=("127.0.0.1", port))


if __name__ == "__main__":
    main()
