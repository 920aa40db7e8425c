#!/usr/bin/python3
"""The reference Modbus ASCII instrument of the field-bus tests: pymodbus's
serial server on --port, answering function 3 for every --device from 256
holding registers valued by register_value (the C++ tests compute the same),
the answers of --corrupt UNIT:MODE spoilt on purpose (foreign: sent under the
next address; late: sent after the server stopped waiting), and the register of
every --count UNIT:ADDRESS counting up by one every COUNT_SECONDS. Creates --ready once it serves. Run it with /usr/bin/python3 (Debian's python3-pymodbus)."""
import argparse, asyncio, logging, time

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusAsciiFramer

# Past the 500 ms read time-out of the server, before its next read ends.
LATE_SECONDS = 0.76
COUNT_SECONDS = 0.5


def frame(message):
    return b":" + message.hex().upper().encode() + b"%02X\r\n" % (-sum(message) & 0xFF)


def foreign(packet):
    """The same answer, sound in itself, but from the next device address."""
    message = bytearray.fromhex(packet[1:-4].decode())
    message[0] = (message[0] + 1) & 0xFF
    return frame(bytes(message))


def late(packet):
    # Blocks the whole instrument, as a slow device holds its line.
    time.sleep(LATE_SECONDS)
    return packet


# Ways a bad line spoils a complete ":...LRC\r\n" answer.
CORRUPT = {
    "lrc": lambda p: p[:-4] + b"%02X\r\n" % ((int(p[-4:-2], 16) + 1) & 0xFF),
    "foreign": foreign,
    "late": late,
}


def register_value(unit, address):
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--device", type=int, action="append", default=[])
    parser.add_argument("--corrupt", action="append", default=[], metavar="UNIT:MODE")
    parser.add_argument("--count", action="append", default=[], metavar="UNIT:ADDRESS")
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
        counters = [tuple(int(part, 0) for part in item.split(":")) for item in args.count]
        while True:
            await asyncio.sleep(COUNT_SECONDS)
            for unit, address in counters:  # function 3: holding registers
                value = slaves[unit].getValues(3, address, 1)[0]
                slaves[unit].setValues(3, address, [(value + 1) & 0xFFFF])

    asyncio.run(serve())


if __name__ == "__main__":
    main()
