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
    x7                   read exception status (function code 7): OK status
    x8:SUB:w,w,...       diagnostics (code 8) with that sub-function and data words
                         (hexadecimal): OK sub w w ...
    x11                  get comm event counter (code 11): OK STATUS count
    x17                  report server ID (code 17): OK hex of what follows the
                         byte count (pymodbus's own status reads the last byte)
    x22:A:AND:OR         mask write register (code 22), masks in hexadecimal
    x23:RA:RN:WA:v,v,... read/write multiple registers (code 23): OK v v ...
    x43:CODE:OBJ         read device identification (code 43/14): OK id=text ...
    bench:SECONDS:MAX    read holding register 0 repeatedly; prints requests per second
RESULT is "OK v v ..." (bits as 0/1, registers decimal), "EXC n" for an
exception response, or "ERR text". "READY" is printed once connected.
"""
import sys
import time

from pymodbus.client import ModbusSerialClient, ModbusTcpClient, ModbusUdpClient
from pymodbus.diag_message import ReturnQueryDataRequest
from pymodbus.mei_message import ReadDeviceInformationRequest
from pymodbus.other_message import GetCommEventCounterRequest, ReportSlaveIdRequest
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


def more_codes(client, slave, op, parts):
    """The codes beyond the classic eight; a string when answered normally.

    These requests are made here, or passed on as made, so pymodbus 3.0.0
    takes the unit as unit= (a slave= would be dropped and unit 0 asked).
    """
    if op == "x8":
        request = ReturnQueryDataRequest([int(v, 16) for v in parts[2].split(",")], unit=slave)
        request.sub_function_code = int(parts[1])
        rr = client.execute(request)
        ok = not rr.isError()
        return "OK %d %s" % (rr.sub_function_code, " ".join("%04X" % w for w in rr.message)) if ok else rr
    if op == "x11":
        rr = client.execute(GetCommEventCounterRequest(unit=slave))
        return "OK %s %d" % ("0000" if rr.status else "FFFF", rr.count) if not rr.isError() else rr
    if op == "x17":
        rr = client.execute(ReportSlaveIdRequest(unit=slave))
        return "OK " + rr.identifier.hex().upper() if not rr.isError() else rr
    if op == "x22":
        rr = client.mask_write_register(address=int(parts[1]), and_mask=int(parts[2], 16),
                                        or_mask=int(parts[3], 16), unit=slave)
        return rr
    if op == "x23":
        values = [int(v) for v in parts[4].split(",")]
        rr = client.readwrite_registers(read_address=int(parts[1]), read_count=int(parts[2]),
                                        write_address=int(parts[3]), write_registers=values, unit=slave)
        return rr
    rr = client.execute(ReadDeviceInformationRequest(read_code=int(parts[1]), object_id=int(parts[2]),
                                                     unit=slave))
    if rr.isError():
        return rr
    return "OK " + " ".join("%d=%s" % (k, v.decode("latin-1")) for k, v in sorted(rr.information.items()))


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
        rr = client.read_exception_status(slave=slave)
        return describe(rr) if rr.isError() else "OK %d" % rr.status
    if op in ("x8", "x11", "x17", "x22", "x23", "x43"):
        rr = more_codes(client, slave, op, parts)
        if isinstance(rr, str):
            return rr
        return describe(rr)
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
