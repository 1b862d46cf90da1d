"""A minimal Zarn forecourt controller on a pseudo-terminal, for tests and examples.

It opens a pseudo-terminal pair, Gallion taking the other end as its port
(``loop add zarn <stub.device> 1 8``), or the device of a Gallion virtual port; the stub plays the
controller on its end, byte for byte: it polls a pump, acknowledges its DATA replies and sends commands. Every read has a deadline.
"""

import os
import select
import time
import tty

SF = 0xFA   # end of block
DLE = 0x10  # before a data byte 0xFA
ETX = 0x03  # after the CRC of a DATA block


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def stuffed(block):
    out = bytearray()
    for byte in block:
        if byte == SF:
            out.append(DLE)
        out.append(byte)
    out.append(SF)
    return bytes(out)


def transactions(block):
    """(code, data) of each transaction of a DATA block (ADR, CTRL, transactions, CRC, ETX)."""
    found = []
    end = len(block) - 3
    pos = 2
    while pos + 2 <= end and pos + 2 + block[pos + 1] <= end:
        found.append((block[pos], bytes(block[pos + 2:pos + 2 + block[pos + 1]])))
        pos += 2 + block[pos + 1]
    return found


def address_of(pump):
    return pump + 79


class ZarnStub:
    def __init__(self, device=None):
        """Without `device`: a new pseudo-terminal pair, Gallion opens `self.device`. With one
        (the device of Gallion's virtual port, 'loop add zarn pty ...'): the stub opens it."""
        if device is None:
            self.master, self._slave = os.openpty()
            tty.setraw(self._slave)
            self.device = os.ttyname(self._slave)
        else:
            self.master = os.open(device, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(self.master)
            self._slave = None
            self.device = device
        self._numbers = {}
        self.last_turnaround = None  # seconds from a POLL to its reply's last byte

    def close(self):
        os.close(self.master)
        if self._slave is not None:
            os.close(self._slave)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        os.write(self.master, bytes(data))

    def read_block(self, timeout=3.0):
        """One block from the line, unstuffed, without SF; None when the deadline passes."""
        deadline = time.monotonic() + timeout
        block = bytearray()
        after_dle = False
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                return None
            for byte in os.read(self.master, 1):
                if byte == SF and after_dle:
                    block[-1] = SF
                    after_dle = False
                    continue
                if byte == SF:
                    return bytes(block)
                block.append(byte)
                after_dle = byte == DLE

    def poll(self, pump, timeout=3.0):
        """A POLL of the pump and its reply block (None on silence)."""
        address = address_of(pump)
        started = time.monotonic()
        self.send([address, 0x20, SF])
        reply = self.read_block(timeout)
        if reply is not None:
            self.last_turnaround = time.monotonic() - started
        return reply

    def poll_and_ack(self, pump, timeout=3.0):
        """Polls; acknowledges a DATA reply. Its transactions ([] for EOT), None on silence."""
        address = address_of(pump)
        reply = self.poll(pump, timeout)
        if reply is None:
            return None
        if len(reply) < 2 or reply[0] != address or reply[1] & 0xF0 != 0x30:
            return []
        self.send([address, 0xC0 | (reply[1] & 0x0F), SF])
        return transactions(reply)

    def send_data(self, pump, body):
        """Sends a DATA block with the next sequence number; True when it is acknowledged."""
        address = address_of(pump)
        number = self._numbers.get(address, 0)
        block = bytes([address, 0x30 | number]) + bytes(body)
        crc = crc16(block)
        self.send(stuffed(block + bytes([crc & 0xFF, crc >> 8, ETX])))
        ack = self.read_block()
        self._numbers[address] = 1 if number == 15 else number + 1
        return ack == bytes([address, 0xC0 | number])

    def program_nozzle_one(self, pump):
        """Allows nozzle 1 and gives every nozzle the unit price 1.00."""
        prices = bytes([0x05, 45]) + bytes([0x00, 0x01, 0x00]) * 15
        return self.send_data(pump, [0x02, 0x01, 0x01]) and self.send_data(pump, prices)

    def authorize(self, pump):
        return self.send_data(pump, [0x01, 0x01, 0x06])

    @staticmethod
    def last_status(found):
        """The status of the last status transaction (DC1) among the transactions, or -1."""
        status = -1
        for code, data in found or []:
            if code == 1 and len(data) == 1:
                status = data[0]
        return status
