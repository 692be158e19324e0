#!/usr/bin/env python3
"""The test stage on the kernel's USB-serial drivers, in the 8250 stage's
guest (uart_stage.py) with the distribution's modules loaded by busybox
insmod in the order of modules.dep:

- ftdi_sio: QEMU's usb-serial (an FTDI FT232B) on qemu-xhci, whose line is
  the pseudo-terminal this script holds, as the 8250 stage's is;
- cdc-acm: dummy_hcd joins the guest's own g_serial gadget to its USB host
  side, so /dev/ttyACM0 is a CDC-ACM board whose far end is /dev/ttyGS0,
  played in the guest by line_device.

Unplugging is `device_del` on QEMU's monitor for the FTDI chip and
`rmmod g_serial` for the board.

  usb_stage.py --velta STATIC_VELTA --helper UART_CASE --helper LINE_DEVICE
               --work DIR [--kernel VMLINUZ] [--busybox BUSYBOX] [--only NAME]"""
import os
import re
import socket
import sys

import uart_stage
from uart_stage import Case, framed, pattern, raw_settings

FTDI, ACM, GADGET = "/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyGS0"
MODULES = ["xhci-pci", "ftdi_sio", "cdc-acm", "dummy_hcd", "usb_f_acm", "g_serial"]
# What may still reach the device after its XOFF: a 16550's FIFO and one byte.
AFTER_XOFF = 17


def module_order(release, names):
    """The module files for names and everything they need, each after what it needs."""
    base = f"/lib/modules/{release}"
    deps = {}
    with open(os.path.join(base, "modules.dep")) as f:
        for line in f:
            path, _, needs = line.partition(":")
            deps[path] = needs.split()
    by_name = {re.sub(r"\.ko(\.\w+)?$", "", os.path.basename(p)).replace("-", "_"): p for p in deps}
    order = []

    def add(path):
        if path in order:
            return
        for need in deps[path]:
            add(need)
        order.append(path)

    for name in names:
        add(by_name[name.replace("-", "_")])
    return [os.path.join(base, p) for p in order]


def driver_cases(tag, port, host_played, files):
    """The cases on one driver. host_played: the far end is this script's
    pty (FTDI); otherwise line_device on the gadget's tty (cdc-acm)."""
    small, long, binary = files["small.bin"], files["long.bin"], files["binary.bin"]

    def collect(xoff_after=None):
        if host_played:
            return {"role": "collect"}
        return {"device": ["collect", GADGET, "/tmp/line.bin"] + (["-x", str(xoff_after)] if xoff_after else [])}

    def write(name, chunk=None, gap=None):
        if host_played:
            return {"role": "write", "pace": (chunk, gap / 1000) if chunk else None}
        return {"device": ["write", GADGET, "/data/" + name, "-w", "1.5"]
                + (["-c", str(chunk), "-g", str(gap)] if chunk else [])}

    out = []
    for rate, name, data in ((9600, "small.bin", small), (38400, "long.bin", long)):
        out.append(Case(f"{tag}_send_{len(data) // 1024}k_{rate}", [f"/data/{name}", "-MS", f"-B{rate}", "-N"],
                        port=port, expect_line=data, line_rate=rate, **collect()))
    out.append(Case(f"{tag}_receive_38400", ["out.bin", "-MR", "-B38400"], port=port, data=framed(binary),
                    expect_file=framed(binary), probe=1.0, settings=raw_settings(38400), **write("stream.bin")))
    out.append(Case(f"{tag}_prompt_F2_ctrl_c", ["out.bin", "-MR", "-B9600", "-F2"], port=port, probe=1.0,
                    interrupt=1.5, settings=raw_settings(9600, ixoff=1), aborted=True))
    out.append(Case(f"{tag}_data_ctrl_c", ["out.bin", "-MR", "-B38400"], port=port, data=framed(long),
                    expect_file=framed(long), probe=1.0, interrupt=3.0, aborted=True,
                    **write("long_stream.bin", 128, 20)))
    if host_played:
        # ftdi_sio gets IXON, so that the chip stops on XOFF itself; QEMU's
        # chip ignores the handshake, so the case shows the chip told, the
        # send not held by anything else and Ctrl+C ending it.
        out.append(Case(f"{tag}_xoff_ctrl_c", ["/data/long.bin", "-MS", "-B9600", "-F2", "-N"], port=port,
                        probe=0.5, interrupt=0.8, settings=raw_settings(9600, ixon=1), aborted=True,
                        expect_line=long, role="xoff"))
    else:
        # IXON stays off: velta reads the device's XOFF itself.
        out.append(Case(f"{tag}_xoff_ctrl_c", ["/data/long.bin", "-MS", "-B38400", "-F2", "-N"], port=port,
                        probe=1.5, interrupt=3.0, settings=raw_settings(38400), aborted=True, expect_line=long,
                        max_after_xoff=AFTER_XOFF, **collect(xoff_after=600)))
    return out


class UsbStage(uart_stage.Stage):
    name = "usb"

    def __init__(self, args):
        super().__init__(args)
        self.monitor = os.path.join(args.work, "monitor.sock")

    def cases(self):
        long = pattern(64 * 1024, 3)
        files = {"small.bin": pattern(4 * 1024, 4), "long.bin": long, "binary.bin": pattern(3000, 1)}
        files["stream.bin"], files["long_stream.bin"] = framed(files["binary.bin"]), framed(long)
        out = driver_cases("ftdi", FTDI, True, files) + driver_cases("acm", ACM, False, files)
        out.append(Case("list_ports", ["--list-ports"], port=ACM, status=0, dtr=(0, None, None), port_option=False,
                        console_has=(FTDI.encode(), ACM.encode(), b"0403:6001", b"0525:a4a7")))
        # Last on each driver: the port does not come back. QEMU's FTDI chip
        # takes bytes as fast as they come, so there the transfer still
        # running at the unplug is a reception.
        out.append(Case("ftdi_unplug", ["out.bin", "-MR", "-B38400"], port=FTDI, data=framed(long),
                        expect_file=framed(long), probe=1.0, unplug=(2.0, None), aborted=True, dtr=(0, 1, None),
                        role="write", pace=(128, 0.02)))
        out.append(Case("acm_unplug", ["/data/long.bin", "-MS", "-B38400", "-N"], port=ACM,
                        unplug=(2.0, "rmmod g_serial"), aborted=True, expect_line=long, dtr=(0, 1, None),
                        device=["collect", GADGET, "/tmp/line.bin"]))
        return out, files

    def prologue(self):
        loads = [f"insmod /modules/{os.path.basename(m)}" for m in self.modules()]
        wait = " ".join(f"[ -e {p} ] &&" for p in (FTDI, ACM, GADGET))
        # At rest the host ends are raw: a device's late bytes are not echoed
        # back to it and read in the next case.
        return loads + [f"for i in $(seq 100); do {wait} break; sleep 0.2; done",
                        f"stty -F {FTDI} raw -echo; stty -F {ACM} raw -echo"]

    def modules(self):
        release = os.path.basename(self.args.kernel).replace("vmlinuz-", "", 1)
        return module_order(release, MODULES)

    def device_args(self):
        return ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,id=ftdi0,chardev=dev,bus=xhci.0",
                "-monitor", f"unix:{self.monitor},server=on,wait=off"]

    def unplug(self):
        # The monitor drops a command whose connection closes before it has
        # run: wait for the prompt that follows it.
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.monitor)
            s.settimeout(5.0)
            s.sendall(b"device_del ftdi0\n")
            said = b""
            while said.count(b"(qemu)") < 2:
                more = s.recv(4096)
                if not more:
                    break
                said += more

if __name__ == "__main__":
    sys.exit(uart_stage.stage_main(UsbStage))
