#!/usr/bin/python3
"""A Modbus slave for the master station tests, built from pymodbus' framers,
request decoder and data store.

  master_test_slave.py rtu|ascii DEVICE [BAUD PARITY BYTESIZE STOPBITS]
  master_test_slave.py tcp PORT

Tables (zero-based, 100 entries each): coil i is on when i % 3 == 0,
input relay i when i % 2 == 1, holding register i holds 1000 + i, input
register i holds 0xFF00 + i. Any device address is answered. Prints READY
once it serves.
"""
import socket
import socketserver
import sys

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.factory import ServerDecoder
from pymodbus.transaction import (
    ModbusAsciiFramer,
    ModbusRtuFramer,
    ModbusSocketFramer,
)

SIZE = 100


def make_context():
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [i % 3 == 0 for i in range(SIZE)]),
        di=ModbusSequentialDataBlock(0, [i % 2 == 1 for i in range(SIZE)]),
        hr=ModbusSequentialDataBlock(0, [1000 + i for i in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [0xFF00 + i for i in range(SIZE)]),
        zero_mode=True,
    )
    return ModbusServerContext(slaves=slave, single=True)


def answer(context, framer, request, send):
    response = request.execute(context[request.unit_id])
    response.unit_id = request.unit_id
    response.transaction_id = request.transaction_id
    send(framer.buildPacket(response))


def serve_serial(kind, device, baud, parity, bytesize, stopbits):
    import serial  # pylint: disable=import-outside-toplevel

    context = make_context()
    framer_class = ModbusRtuFramer if kind == "rtu" else ModbusAsciiFramer
    framer = framer_class(ServerDecoder())
    line = serial.Serial(device, baudrate=baud, parity=parity, bytesize=bytesize,
                         stopbits=stopbits, timeout=0.01)
    print("READY", flush=True)
    idle = 0
    while True:
        data = line.read(512)
        if not data:
            idle += 1
            # A frame left incomplete for 50 ms is noise: start afresh.
            if idle >= 5:
                framer.resetFrame()
                idle = 0
            continue
        idle = 0
        try:
            framer.processIncomingPacket(
                data, lambda req: answer(context, framer, req, line.write), unit=0, single=True)
        except Exception as exc:  # pylint: disable=broad-except
            print(f"dropped: {exc}", flush=True)
            framer.resetFrame()


class TcpHandler(socketserver.BaseRequestHandler):
    context = make_context()

    def handle(self):
        framer = ModbusSocketFramer(ServerDecoder())
        while True:
            try:
                data = self.request.recv(1024)
            except OSError:
                return
            if not data:
                return
            framer.processIncomingPacket(
                data, lambda req: answer(self.context, framer, req, self.request.sendall),
                unit=0, single=True)


class TcpServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True
    address_family = socket.AF_INET


def main():
    kind = sys.argv[1]
    if kind == "tcp":
        with TcpServer(("127.0.0.1", int(sys.argv[2])), TcpHandler) as server:
            print("READY", flush=True)
            server.serve_forever()
    else:
        args = sys.argv[3:] + [None] * 4
        serve_serial(kind, sys.argv[2], int(args[0] or 9600), args[1] or "N",
                     int(args[2] or 8), int(args[3] or 1))


if __name__ == "__main__":
    main()
