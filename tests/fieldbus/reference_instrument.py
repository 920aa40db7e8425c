#!/usr/bin/python3
"""The reference Modbus ASCII instrument of the field-bus tests: pymodbus's
serial server on --port, answering function 3 for every --device from 256
holding registers valued by register_value (the C++ tests compute the same),
the answers of --corrupt UNIT:MODE spoilt on purpose. Creates --ready once it
serves. Run it with /usr/bin/python3 (Debian's python3-pymodbus)."""
import argparse
import asyncio
import logging

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusAsciiFramer

# Ways a bad line spoils a complete ":...LRC\r\n" answer.
CORRUPT = {
    "lrc": lambda p: p[:-4] + b"%02X\r\n" % ((int(p[-4:-2], 16) + 1) & 0xFF),
    "lowercase": bytes.lower,
    "short": lambda p: p[: len(p) // 2],
}


def register_value(unit, address):
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--device", type=int, action="append", default=[])
    parser.add_argument("--corrupt", action="append", default=[], metavar="UNIT:MODE")
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)
    corruption = {int(unit): CORRUPT[mode] for unit, mode in (item.split(":") for item in args.corrupt)}
    # zero_mode: register n is address n, not n + 1.
    slaves = {unit: ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [register_value(unit, a) for a in range(256)]),
                                       zero_mode=True) for unit in set(args.device) | set(corruption)}
    framer = ModbusAsciiFramer(ServerDecoder())

    def manipulate(response):
        spoil = corruption.get(response.unit_id)
        return (spoil(framer.buildPacket(response)), True) if spoil else (response, False)

    async def serve():
        server = ModbusSerialServer(ModbusServerContext(slaves=slaves, single=False), framer=ModbusAsciiFramer,
                                    port=args.port, baudrate=9600, response_manipulator=manipulate)
        await server.start()
        if server.transport is None:
            raise SystemExit(f"reference instrument: cannot open {args.port}")
        open(args.ready, "w").close()
        await asyncio.Event().wait()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
