#!/usr/bin/python3
"""A pymodbus master for the slave station tests.

    slave_client.py rtu|ascii|tcp|rtutcp|udp DEVICE|HOST:PORT SLAVE COMMAND...

rtutcp: RTU frames on a TCP connection; udp: Modbus/TCP messages in UDP datagrams.

Each command is run in order and answered with one line "COMMAND -> RESULT":
    rc:A:N  rd:A:N       read N coils / discrete inputs from address A (0-based)
    rh:A:N  ri:A:N       read N holding / input registers
    wc:A:0|1             write one coil
    wr:A:V               write one register (V decimal)
    wcs:A:b,b,...        write several coils
    wrs:A:v,v,...        write several registers
    x7                   read exception status (function code 7)
    bench:SECONDS:MAX    read holding register 0 repeatedly; prints requests per second
RESULT is "OK v v ..." (bits as 0/1, registers decimal), "EXC n" for an
exception response, or "ERR text". "READY" is printed once connected.
"""
import sys
import time

from pymodbus.client import ModbusSerialClient, ModbusTcpClient, ModbusUdpClient
from pymodbus.pdu import ExceptionResponse
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer, ModbusSocketFramer


def make_client(mode, where):
    if mode in ("tcp", "rtutcp", "udp"):
        host, port = where.rsplit(":", 1)
        if mode == "udp":
            return ModbusUdpClient(host, port=int(port), timeout=3, retries=0)
        framer = ModbusRtuFramer if mode == "rtutcp" else ModbusSocketFramer
        return ModbusTcpClient(host, port=int(port), framer=framer, timeout=3, retries=0)
    if mode == "rtu":
        return ModbusSerialClient(where, framer=ModbusRtuFramer, baudrate=9600, bytesize=8,
                                  parity="N", stopbits=1, timeout=2, retries=0)
    return ModbusSerialClient(where, framer=ModbusAsciiFramer, baudrate=9600, bytesize=7,
                              parity="O", stopbits=1, timeout=2, retries=0)


def describe(rr, count=None, bits=False):
    if isinstance(rr, ExceptionResponse):
        return "EXC %d" % rr.exception_code
    if rr is None or rr.isError():
        return "ERR %s" % rr
    if bits:
        return "OK " + " ".join("1" if b else "0" for b in rr.bits[:count])
    if hasattr(rr, "registers"):
        return "OK " + " ".join(str(v) for v in rr.registers)
    return "OK"


def run(client, slave, cmd):
    parts = cmd.split(":")
    op = parts[0]
    if op in ("rc", "rd", "rh", "ri"):
        a, n = int(parts[1]), int(parts[2])
        fn = {"rc": client.read_coils, "rd": client.read_discrete_inputs,
              "rh": client.read_holding_registers, "ri": client.read_input_registers}[op]
        return describe(fn(a, n, slave=slave), n, bits=op in ("rc", "rd"))
    if op == "wc":
        return describe(client.write_coil(int(parts[1]), parts[2] == "1", slave=slave))
    if op == "wr":
        return describe(client.write_register(int(parts[1]), int(parts[2]), slave=slave))
    if op == "wcs":
        values = [v == "1" for v in parts[2].split(",")]
        return describe(client.write_coils(int(parts[1]), values, slave=slave))
    if op == "wrs":
        values = [int(v) for v in parts[2].split(",")]
        return describe(client.write_registers(int(parts[1]), values, slave=slave))
    if op == "x7":
        return describe(client.read_exception_status(slave=slave))
    if op == "bench":
        seconds, most = float(parts[1]), int(parts[2])
        done = 0
        start = time.monotonic()
        while done < most and time.monotonic() - start < seconds:
            rr = client.read_holding_registers(0, 1, slave=slave)
            if rr is None or rr.isError():
                return "ERR after %d: %s" % (done, rr)
            done += 1
        elapsed = time.monotonic() - start
        return "OK %d %.3f %.1f" % (done, elapsed, done / elapsed if elapsed > 0 else 0.0)
    return "ERR unknown command"


def main():
    mode, where, slave = sys.argv[1], sys.argv[2], int(sys.argv[3])
    client = make_client(mode, where)
    if not client.connect():
        print("ERR cannot connect", flush=True)
        return 1
    print("READY", flush=True)
    for cmd in sys.argv[4:]:
        try:
            result = run(client, slave, cmd)
        except Exception as e:  # a failed exchange is a result like any other
            result = "ERR %s" % e
        print("%s -> %s" % (cmd, result), flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
