#!/usr/bin/python3
"""The reference Modbus ASCII instrument for the field-bus tests.

pymodbus's serial server on a given tty, answering function 3 for the given
device addresses from holding-register tables whose values follow one
formula (see register_value; the C++ tests compute the same). Chosen devices
can have their answers corrupted on purpose. Writes the ready file once the
port is open. Run it with /usr/bin/python3 (Debian's python3-pymodbus).
"""
import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusAsciiFramer


def register_value(unit, address):
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def corrupt(packet, mode):
    """Spoils a complete ":...LRC\r\n" answer the way a bad line would."""
    body = packet[:-2]
    if mode == "lrc":
        lrc = (int(body[-2:], 16) + 1) & 0xFF
        return body[:-2] + b"%02X" % lrc + b"\r\n"
    if mode == "lowercase":
        return packet.lower()
    if mode == "short":
        return packet[: len(packet) // 2]
    raise ValueError(mode)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", required=True, help="tty to serve")
    parser.add_argument("--device", type=int, action="append", required=True, help="device address to answer")
    parser.add_argument("--registers", type=int, default=256, help="holding registers per device")
    parser.add_argument("--corrupt", action="append", default=[], metavar="UNIT:MODE",
                        help="corrupt every answer of UNIT: lrc, lowercase or short")
    parser.add_argument("--ready", help="file to create once the port is open")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(level=logging.DEBUG)
    if not args.verbose:
        logging.disable(logging.CRITICAL)
    corruption = {}
    for item in args.corrupt:
        unit, mode = item.split(":")
        corrupt(b":0103020000FA\r\n", mode)  # refuse unknown modes before starting
        corruption[int(unit)] = mode

    slaves = {}
    for unit in set(args.device) | set(corruption):
        values = [register_value(unit, a) for a in range(args.registers)]
        slaves[unit] = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves=slaves, single=False)
    framer = ModbusAsciiFramer(ServerDecoder())

    def manipulate(response):
        mode = corruption.get(response.unit_id)
        if mode is None:
            return response, False
        return corrupt(framer.buildPacket(response), mode), True

    async def serve():
        server = ModbusSerialServer(context, framer=ModbusAsciiFramer, port=args.port, baudrate=9600,
                                    response_manipulator=manipulate)
        await server.start()
        if server.transport is None:
            sys.exit(f"reference instrument: cannot open {args.port}")
        if args.ready:
            with open(args.ready, "w", encoding="ascii") as ready:
                ready.write("ready\n")
        await asyncio.Event().wait()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
