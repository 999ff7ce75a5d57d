#!/usr/bin/env python3
"""Runs a program under ptrace and numbers the system calls with which it changes files
under one folder; optionally kills it with SIGKILL just before or just after one of them.

Only the calls that can change a file or folder are stopped (a seccomp filter sends just
those to the tracer), and only those whose path or file descriptor lies under the root
folder are numbered. The numbering is global over all threads in the order the tracer
sees the calls, so it does not depend on what other threads do with other files (an
event loop's wake-up writes, a font cache), nor on the random names of temporary files.

  before: the process is killed while the call is stopped at its entry; the call never runs.
  after:  the call runs to completion and the process is killed at its exit, before the
          thread does anything else.

Usage: syscall_tracer.py --root DIR --log FILE [--kill-at N --when before|after] -- PROGRAM ARGS...
The log holds one JSON object a line: every numbered call (with its result when it was
allowed to finish) and, in kill mode, a {"killed": ...} record. The exit status is the
program's, or 128 + the signal that ended it.  x86-64 Linux only (kernel 5.3 or later).
"""

import argparse
import ctypes
import errno
import json
import os
import signal
import struct
import sys

libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.restype = ctypes.c_long
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]

PTRACE_TRACEME, PTRACE_CONT, PTRACE_SYSCALL = 0, 7, 24
PTRACE_SETOPTIONS, PTRACE_GETEVENTMSG, PTRACE_GET_SYSCALL_INFO = 0x4200, 0x4201, 0x420E
O_TRACESYSGOOD, O_TRACEFORK, O_TRACEVFORK, O_TRACECLONE = 0x1, 0x2, 0x4, 0x8
O_TRACEEXEC, O_TRACESECCOMP, O_EXITKILL = 0x10, 0x80, 0x100000
EVENT_SECCOMP = 7
SYSCALL_INFO_SECCOMP, SYSCALL_INFO_EXIT = 3, 2
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
SECCOMP_RET_ALLOW, SECCOMP_RET_TRACE = 0x7FFF0000, 0x7FF00000
AUDIT_ARCH_X86_64 = 0xC000003E
AT_FDCWD = -100
O_WRONLY, O_RDWR, O_CREAT, O_TRUNC = 0o1, 0o2, 0o100, 0o1000

# x86-64 numbers of the calls that can change a file or folder, and where their targets
# are: ("path", path argument, directory-fd argument or None), ("fd", fd argument).
# "flags" names the argument holding open flags: such a call counts only when it creates
# or truncates.
P, F = "path", "fd"
CALLS = {
    1: ("write", [(F, 0)]), 18: ("pwrite64", [(F, 0)]), 20: ("writev", [(F, 0)]),
    296: ("pwritev", [(F, 0)]), 328: ("pwritev2", [(F, 0)]),
    40: ("sendfile", [(F, 0)]), 326: ("copy_file_range", [(F, 2)]),
    2: ("open", [(P, 0, None)], 1), 85: ("creat", [(P, 0, None)]),
    257: ("openat", [(P, 1, 0)], 2), 437: ("openat2", [(P, 1, 0)], "how"),
    76: ("truncate", [(P, 0, None)]), 77: ("ftruncate", [(F, 0)]), 285: ("fallocate", [(F, 0)]),
    74: ("fsync", [(F, 0)]), 75: ("fdatasync", [(F, 0)]), 277: ("sync_file_range", [(F, 0)]),
    306: ("syncfs", [(F, 0)]),
    82: ("rename", [(P, 0, None), (P, 1, None)]), 264: ("renameat", [(P, 1, 0), (P, 3, 2)]),
    316: ("renameat2", [(P, 1, 0), (P, 3, 2)]),
    87: ("unlink", [(P, 0, None)]), 263: ("unlinkat", [(P, 1, 0)]), 84: ("rmdir", [(P, 0, None)]),
    83: ("mkdir", [(P, 0, None)]), 258: ("mkdirat", [(P, 1, 0)]),
    133: ("mknod", [(P, 0, None)]), 259: ("mknodat", [(P, 1, 0)]),
    86: ("link", [(P, 0, None), (P, 1, None)]), 265: ("linkat", [(P, 1, 0), (P, 3, 2)]),
    88: ("symlink", [(P, 1, None)]), 266: ("symlinkat", [(P, 2, 1)]),
    90: ("chmod", [(P, 0, None)]), 91: ("fchmod", [(F, 0)]), 268: ("fchmodat", [(P, 1, 0)]),
    452: ("fchmodat2", [(P, 1, 0)]),
    92: ("chown", [(P, 0, None)]), 93: ("fchown", [(F, 0)]), 94: ("lchown", [(P, 0, None)]),
    260: ("fchownat", [(P, 1, 0)]),
    132: ("utime", [(P, 0, None)]), 235: ("utimes", [(P, 0, None)]),
    261: ("futimesat", [(P, 1, 0)]), 280: ("utimensat", [(P, 1, 0)]),
}


class Syscall_Info(ctypes.Structure):
    _fields_ = [("op", ctypes.c_uint8), ("pad", ctypes.c_uint8 * 3), ("arch", ctypes.c_uint32),
                ("instruction_pointer", ctypes.c_uint64), ("stack_pointer", ctypes.c_uint64),
                ("nr", ctypes.c_uint64), ("args", ctypes.c_uint64 * 6), ("ret_data", ctypes.c_uint32)]


def ptrace(request, pid, addr=0, data=0):
    result = libc.ptrace(request, pid, ctypes.c_void_p(addr), ctypes.c_void_p(data))
    if result == -1:
        error = ctypes.get_errno()
        if error:
            raise OSError(error, f"ptrace({request:#x}, {pid}): {os.strerror(error)}")
    return result


def seccomp_filter():
    """A classic BPF program: trace the calls in CALLS (open and openat only when they
    create or truncate), allow everything else."""
    load, jeq, jset, ret = 0x20, 0x15, 0x45, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_JMP|JSET|K, BPF_RET|K
    flagged = {2: 24, 257: 32}  # open, openat: offset of the flags argument's low word
    others = sorted(n for n in CALLS if n not in flagged)
    n = len(others)
    allow, open_at, openat_at, trace_at, allow_open = 5 + n, 6 + n, 8 + n, 10 + n, 11 + n
    # seccomp_data: nr at 0, arch at 4, the arguments from 16 on, 8 bytes each.
    program = [(load, 0, 0, 4), (jeq, 0, allow - 2, AUDIT_ARCH_X86_64), (load, 0, 0, 0)]
    for pc, number in enumerate(others, start=3):
        program.append((jeq, trace_at - pc - 1, 0, number))
    program.append((jeq, open_at - (3 + n) - 1, 0, 2))
    program.append((jeq, openat_at - (4 + n) - 1, 0, 257))
    program.append((ret, 0, 0, SECCOMP_RET_ALLOW))
    for pc, offset in ((open_at, flagged[2]), (openat_at, flagged[257])):
        program.append((load, 0, 0, offset))
        program.append((jset, trace_at - pc - 2, allow_open - pc - 2, O_CREAT | O_TRUNC))
    program.append((ret, 0, 0, SECCOMP_RET_TRACE))
    program.append((ret, 0, 0, SECCOMP_RET_ALLOW))
    return b"".join(struct.pack("=HBBI", *insn) for insn in program), len(program)


def start_traced(argv):
    """Forks the program, stopped until the tracer has set its options."""
    code, length = seccomp_filter()
    buffer = ctypes.create_string_buffer(code, len(code))
    fprog = struct.pack("=HxxxxxxQ", length, ctypes.addressof(buffer))
    fprog_buffer = ctypes.create_string_buffer(fprog, len(fprog))
    pid = os.fork()
    if pid == 0:
        try:
            ptrace(PTRACE_TRACEME, 0)
            os.kill(os.getpid(), signal.SIGSTOP)
            if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl(PR_SET_NO_NEW_PRIVS)")
            if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fprog_buffer), 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl(PR_SET_SECCOMP)")
            os.execvp(argv[0], argv)
        except OSError as failure:
            os.write(2, f"syscall_tracer: cannot start {argv[0]}: {failure}\n".encode())
        os._exit(127)
    _, status = os.waitpid(pid, 0)
    if not os.WIFSTOPPED(status):
        raise SystemExit(f"syscall_tracer: {argv[0]} did not stop for the tracer")
    options = O_TRACESYSGOOD | O_TRACEFORK | O_TRACEVFORK | O_TRACECLONE | O_TRACEEXEC
    ptrace(PTRACE_SETOPTIONS, pid, 0, options | O_TRACESECCOMP | O_EXITKILL)
    ptrace(PTRACE_CONT, pid, 0, 0)
    return pid


def syscall_info(tid):
    info = Syscall_Info()
    ptrace(PTRACE_GET_SYSCALL_INFO, tid, ctypes.sizeof(info), ctypes.addressof(info))
    return info


def signed32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def read_memory(tid, address, size):
    with open(f"/proc/{tid}/mem", "rb", buffering=0) as memory:
        return os.pread(memory.fileno(), size, address)


def read_string(tid, address):
    if address == 0:
        return None
    data = b""
    while b"\0" not in data and len(data) < 65536:
        data += read_memory(tid, address + len(data), 4096 - (address + len(data)) % 4096)
    return data.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")


def fd_path(tid, fd):
    try:
        return os.readlink(f"/proc/{tid}/fd/{fd}")
    except OSError:
        return None


def resolve(tid, text, dirfd):
    if text is None:
        return None
    if os.path.isabs(text):
        return os.path.normpath(text)
    base = os.readlink(f"/proc/{tid}/cwd") if dirfd is None or dirfd == AT_FDCWD else fd_path(tid, dirfd)
    return os.path.normpath(os.path.join(base or "/", text))


def targets(tid, shape, args):
    """The paths a call is about, and its open flags (None for calls that are not opens)."""
    paths = []
    for target in shape[1]:
        if target[0] == F:
            paths.append(fd_path(tid, signed32(args[target[1]])))
        else:
            _, path_arg, dirfd_arg = target
            dirfd = None if dirfd_arg is None else signed32(args[dirfd_arg])
            text = read_string(tid, args[path_arg])
            if text is None and dirfd is not None:  # utimensat(fd, NULL, ...)
                paths.append(fd_path(tid, dirfd))
            else:
                paths.append(resolve(tid, text, dirfd))
    flags = None
    if len(shape) > 2:
        flags = struct.unpack("=Q", read_memory(tid, args[2], 8))[0] if shape[2] == "how" else args[shape[2]]
    return paths, flags


def under(path, root):
    return path is not None and (path == root or path.startswith(root + "/"))


class Tracer:
    """Numbers the changes under the root as their calls enter; kills at the chosen one."""

    def __init__(self, root, log, kill_at, when):
        self.root, self.log, self.kill_at, self.when = root, log, kill_at, when
        self.count = 0
        self.pending = {}  # tid -> event waiting for its result at the call's exit
        self.killed = False

    def write(self, record):
        self.log.write(json.dumps(record) + "\n")
        self.log.flush()

    def on_seccomp(self, tid):
        """Decides at a call's entry; returns the ptrace request that resumes the thread."""
        info = syscall_info(tid)
        shape = CALLS.get(info.nr)
        if shape is None or info.op != SYSCALL_INFO_SECCOMP or self.killed:
            return PTRACE_CONT
        try:
            paths, flags = targets(tid, shape, list(info.args))
        except OSError:
            return PTRACE_CONT
        if not any(under(p, self.root) for p in paths):
            return PTRACE_CONT
        if flags is not None and not flags & (O_CREAT | O_TRUNC):
            return PTRACE_CONT
        event = {"i": self.count, "tid": tid, "call": shape[0], "paths": paths}
        if flags is not None:
            event["flags"] = flags
        self.count += 1
        if self.kill_at == event["i"] and self.when == "before":
            self.kill(tid, event)
            return None
        self.pending[tid] = event
        return PTRACE_SYSCALL

    def on_exit(self, tid):
        event = self.pending.pop(tid, None)
        if event is None:
            return
        info = syscall_info(tid)
        if info.op == SYSCALL_INFO_EXIT:
            rval = ctypes.c_int64.from_buffer_copy(bytes(info)[24:32]).value
            event["result"] = rval
        self.write(event)
        if self.kill_at == event["i"] and self.when == "after":
            self.kill(tid, event)

    def kill(self, tid, event):
        self.write({"killed": event["i"], "when": self.when, "call": event["call"], "paths": event["paths"],
                    "result": event.get("result")})
        self.killed = True
        tgid = int(next(line.split()[1] for line in open(f"/proc/{tid}/status") if line.startswith("Tgid:")))
        os.kill(tgid, signal.SIGKILL)


def trace(tracer, program_pid):
    """Runs until every traced process is gone; returns the program's exit status."""
    known = {program_pid}
    program_status = None
    while True:
        try:
            tid, status = os.waitpid(-1, 0x40000000)  # __WALL
        except ChildProcessError:
            break
        if os.WIFEXITED(status) or os.WIFSIGNALED(status):
            known.discard(tid)
            if tid == program_pid:
                program_status = (os.WEXITSTATUS(status) if os.WIFEXITED(status)
                                  else 128 + os.WTERMSIG(status))
            continue
        if not os.WIFSTOPPED(status):
            continue
        sig, event = os.WSTOPSIG(status), status >> 16
        request, deliver = PTRACE_CONT, 0
        try:
            if tid not in known:
                known.add(tid)  # a new thread or child, stopped once by its attachment
                if sig == signal.SIGSTOP:
                    ptrace(PTRACE_CONT, tid, 0, 0)
                    continue
            if sig == signal.SIGTRAP and event == EVENT_SECCOMP:
                request = tracer.on_seccomp(tid)
            elif sig == signal.SIGTRAP | 0x80:
                tracer.on_exit(tid)
            elif sig == signal.SIGTRAP and event:
                pass  # clone, fork, exec: the new tracee reports itself
            else:
                deliver = sig  # a signal for the program: passed on
                if tid in tracer.pending:
                    request = PTRACE_SYSCALL  # still owed the call's exit stop
            if request is not None:
                ptrace(request, tid, 0, deliver)
        except OSError as failure:
            if failure.errno != errno.ESRCH:  # a tracee killed meanwhile is no failure
                raise
    return program_status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--kill-at", type=int)
    parser.add_argument("--when", choices=["before", "after"], default="before")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    argv = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not argv:
        parser.error("no program given")
    with open(options.log, "w") as log:
        tracer = Tracer(os.path.realpath(options.root), log, options.kill_at, options.when)
        status = trace(tracer, start_traced(argv))
    sys.exit(status if status is not None else 1)


if __name__ == "__main__":
    main()
