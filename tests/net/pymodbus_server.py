#!/usr/bin/python3
"""A Modbus server nobody here wrote, for the network links' tests: pymodbus's TCP server
with its RTU framer (a serial device server passing raw RTU frames) or its socket framer
(Modbus TCP), holding the sensor's registers 0..8 for unit 1.

    pymodbus_server.py rtu|socket PORT [VALUE...]

Serves on 127.0.0.1:PORT until killed; the test waits until the port accepts."""
import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer


async def main():
    framer = {"rtu": ModbusRtuFramer, "socket": ModbusSocketFramer}[sys.argv[1]]
    port = int(sys.argv[2])
    values = [int(v) for v in sys.argv[3:]] or [0] * 9
    # zero_mode: register 0 is the first value, as the sensor numbers them.
    unit = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), ir=ModbusSequentialDataBlock(0, values),
                              zero_mode=True)
    context = ModbusServerContext(slaves={1: unit}, single=False)
    server = ModbusTcpServer(context, framer=framer, address=("127.0.0.1", port))
    await server.serve_forever()


asyncio.run(main())
