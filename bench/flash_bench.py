#!/usr/bin/env python3
"""Flash benchmarks through the real `brv` on the virtual handset.

Builds packages with `brv pack` under a scratch directory, runs `brv` under
`brv-vhandset` and prints, for each figure the flash is held to, the figure
beside its target. Ratios compare runs made one after the other in the same
invocation, as the machine is shared and noisy.

    bench/flash_bench.py BUILD_DIR [--cases wait,usb2,usb3,verify6,memory] [--keep DIR]

Cases (the handset's programmer takes --programmer-boot-ms 500 to start;
brv runs with its default waits and no environment override):
  wait     the demo package: the wait from the end of the upload until the
           programmer is connected, against its start-up time + 50 ms;
  usb2     256 MiB of random bytes on eMMC and on UFS over --link usb2: the
           whole command against 500 ms + the link time of its bytes in 1 MiB
           transfers (target 1.05x); then, on eMMC, --verify against the plain
           flash (target 1.10x) and an unchanged re-flash with --skip-identical
           against the first (target 0.30x);
  usb3     1 GiB of mixed content (a quarter each: random, zeros, text-like,
           repeated 4 KiB blocks) on UFS over --link usb3: the whole command
           against 500 ms + its link time (target 1.10x), and how busy the
           write phase kept the link (target 95%);
  verify6  brv verify of the 1 GiB package against openssl dgst -md5 plus
           -sha256 of the same file (target 0.70x);
  memory   1 GiB and 5 GiB partitions: peak RSS of brv flash against brv info
           (target: at most 64 MiB more);
  size, layout  the older figures: a 1 GiB image without a link model (brv
           flash against brv verify), a 61-partition eMMC layout.
Not a test: it prints figures and asserts nothing.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
GIB = 1 << 30
BOOT_MS = 500
# Link time of 1 MiB transfers as the handset's link models describe them:
# USB 2.0 moves a MiB in 158 microframes plus the idle one that follows each
# transfer (125 us each); SuperSpeed in 64 bursts of 16 packets of 37.5 us
# plus one 3 us round trip before the transfer.
USB2_MIB_S = 159 * 125e-6
USB3_MIB_S = (64 * 37.5 + 3) * 1e-6


def write_random(path, size):
    with open("/dev/urandom", "rb") as src, open(path, "wb") as out:
        left = size
        while left:
            piece = src.read(min(left, 8 * MIB))
            out.write(piece)
            left -= len(piece)


def write_mostly_zero(path, size, data=64 * MIB):
    """Random bytes at the start and the end, zeros between: a large partition
    image that packs small."""
    write_random(path, data // 2)
    with open(path, "r+b") as out, open("/dev/urandom", "rb") as src:
        out.truncate(size)
        out.seek(size - data // 2)
        out.write(src.read(data // 2))


def write_mixed(path, size, distinct_blocks=16):
    """A quarter each: random bytes, zeros, text-like lines, repeated 4 KiB blocks.
    The repeats are drawn at random from distinct_blocks random blocks: 16 put
    most repeats beyond deflate's 32 KiB window (packed as literals, the
    slowest kind to inflate), 4 keep nearly all of them within it."""
    quarter = size // 4
    write_random(path, quarter)
    words = ("the of and to in is was for on that with as by at from firmware partition handset boot system "
             "vendor image sector block storage flash programmer package digest verify write read error warning "
             "info kernel module driver").split()
    rnd = random.Random(7)
    lines = [" ".join(rnd.choice(words) for _ in range(rnd.randint(4, 14))) + f" {rnd.randint(0, 99999)}\n"
             for _ in range(200000)]
    blocks = [os.urandom(4096) for _ in range(distinct_blocks)]
    with open(path, "ab") as out:
        out.write(bytes(quarter))
        written = 0
        while written < quarter:
            rnd.shuffle(lines)
            text = "".join(lines).encode()[:quarter - written]
            out.write(text)
            written += len(text)
        for _ in range(quarter // 4096):
            out.write(blocks[rnd.randrange(len(blocks))])


def make_package(build, work, name, memory, sector, parts):
    """parts: (label, image size or None, partition sectors, writer)."""
    folder = os.path.join(work, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "meta"))
    demo = os.path.join(build, "examples", "demo")
    shutil.copy(os.path.join(demo, "prog_firehose_demo.elf"), folder)
    with open(os.path.join(folder, "meta", "params.txt"), "w") as p:
        p.write(f"device_code_name=bench\ndevice_display_name=Benchmark handset\n"
                f"device_memory_type={memory}\ndevice_sector_size={sector}\n"
                "firehose_filename=prog_firehose_demo.elf\nprogram_filename=rawprogram0.xml\n"
                "patch_filename=patch0.xml\n")
    rows = []
    start = 64
    for label, size, sectors, writer in parts:
        filename = f"{label}.img"
        writer(os.path.join(folder, filename), size)
        rows.append(f'  <program SECTOR_SIZE_IN_BYTES="{sector}" file_sector_offset="0" filename="{filename}" '
                    f'label="{label}" num_partition_sectors="{sectors}" physical_partition_number="0" '
                    f'sparse="false" start_sector="{start}"/>\n')
        start += sectors
    with open(os.path.join(folder, "rawprogram0.xml"), "w") as x:
        x.write('<?xml version="1.0" ?>\n<data>\n' + "".join(rows) + "</data>\n")
    with open(os.path.join(folder, "patch0.xml"), "w") as x:
        x.write('<?xml version="1.0" ?>\n<patches>\n</patches>\n')
    package = os.path.join(work, name + ".brp")
    subprocess.run([os.path.join(build, "bin", "brv"), "pack", folder, "-o", package], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(folder)
    # The disk: the partitions rounded up to whole MiB.
    return package, (start * sector + MIB - 1) // MIB * MIB


def run(cmd, env=None):
    """Wall time, write-phase seconds, peak RSS (KiB), output and timed stderr
    lines (seconds from the start, text) of one command. The write phase runs
    from the first progress line that says "Writing" to the last one.

    The RSS comes from GNU time, a small process that starts the command: a
    child forked from this Python process would carry Python's own peak."""
    begin = time.monotonic()
    rss_file = tempfile.NamedTemporaryFile(prefix="brv_rss_", delete=False)
    rss_file.close()
    cmd = ["/usr/bin/time", "-f", "%M", "-o", rss_file.name, *cmd]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    first_write = last_write = None
    err_lines = []
    for line in proc.stderr:
        now = time.monotonic()
        err_lines.append((now - begin, line))
        if "Writing" in line:
            first_write = first_write or now
            last_write = now
    out = proc.stdout.read()
    _, status, _ = os.wait4(proc.pid, 0)
    end = time.monotonic()
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_file.name) as f:
        rss_kib = int(f.read().split()[-1])
    os.remove(rss_file.name)
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{out}{''.join(l for _, l in err_lines[-5:])}")
    # From the first progress line of the writing to its last (the reset and
    # the process's end are not part of it).
    write_s = last_write - first_write if first_write else None
    return end - begin, write_s, rss_kib, out, err_lines


def flash(build, work, package, memory, disk, extra_handset=(), extra_brv=(), keep_state=False, quick=True):
    """quick: the programmer starts at once and brv does not pause for it (the
    older figures); otherwise it takes BOOT_MS and brv waits as it does by default."""
    state = os.path.join(work, "state")
    if not keep_state:
        shutil.rmtree(state, ignore_errors=True)
    env = dict(os.environ)
    env.pop("BRV_PROGRAMMER_WAIT_MS", None)
    boot = ()
    if quick:
        env["BRV_PROGRAMMER_WAIT_MS"] = "0"
    else:
        boot = ("--programmer-boot-ms", str(BOOT_MS))
    cmd = [os.path.join(build, "bin", "brv-vhandset"), "--state", state, "--memory", memory,
           "--disk-size", str(disk), *boot, *extra_handset, "--", os.path.join(build, "bin", "brv"), "flash",
           package, *extra_brv]
    result = run(cmd, env)
    if not keep_state:
        shutil.rmtree(state, ignore_errors=True)
    return result


def brv(build, *args):
    return run([os.path.join(build, "bin", "brv"), *args])[:4]


def row(figure, measured, target, ok=None):
    """ok None: a figure given for reference, held to no target."""
    verdict = "" if ok is None else "met" if ok else "missed"
    print(f"| {figure} | {measured} | {target} | {verdict} |")


def header(title):
    print(f"\n## {title}")
    print("| figure | measured | target | |")
    print("|---|---|---|---|")


def case_wait(build, work):
    header("Waiting for the programmer (demo package, programmer start-up 500 ms)")
    state = os.path.join(work, "state")
    shutil.rmtree(state, ignore_errors=True)
    env = dict(os.environ)
    env.pop("BRV_PROGRAMMER_WAIT_MS", None)
    cmd = [os.path.join(build, "bin", "brv-vhandset"), "--state", state, "--memory", "emmc", "--disk-size", "64M",
           "--programmer-boot-ms", str(BOOT_MS), "--", os.path.join(build, "bin", "brv"), "-v", "flash",
           os.path.join(build, "examples", "demo.brp")]
    wall, _, _, _, lines = run(cmd, env)
    shutil.rmtree(state, ignore_errors=True)
    # DONE_RESP ends the upload; "Connected" follows the configure.
    done = next(t for t, l in lines if "sahara <<< 0x00000006" in l)
    connected = next(t for t, l in lines if l.startswith("I:Connected"))
    waited = (connected - done) * 1000
    row("end of upload to connected", f"{waited:.0f} ms", f"<= {BOOT_MS + 50} ms", waited <= BOOT_MS + 50)
    row("whole demo flash (5.6 MiB, no link)", f"{wall * 1000:.0f} ms", "(for reference)")


def case_usb2(build, work):
    header("USB 2.0 link model (--link usb2), 256 MiB of random bytes, default waits")
    size = 256 * MIB
    minimum = BOOT_MS / 1000 + size / MIB * USB2_MIB_S
    for memory, sector in (("emmc", 512), ("ufs", 4096)):
        package, disk = make_package(build, work, f"usb2_{memory}", memory, sector,
                                     [("system", size, size // sector, write_random)])
        wall, write_s, _, _, *_ = flash(build, work, package, memory, disk + 64 * MIB, ("--link", "usb2"),
                                    keep_state=True, quick=False)
        row(f"{memory}: brv flash, start to exit (minimum {minimum:.2f} s)", f"{wall:.2f} s = {wall / minimum:.3f}x",
            "<= 1.05x", wall <= 1.05 * minimum)
        if memory == "emmc":
            again, _, _, out, *_ = flash(build, work, package, memory, disk + 64 * MIB, ("--link", "usb2"),
                                     ("--skip-identical",), keep_state=True, quick=False)
            skipped = "skipped" if "Skipped 1 partition" in out else "NOT skipped"
            row(f"emmc: unchanged re-flash with --skip-identical ({skipped})",
                f"{again:.2f} s = {again / wall:.2f}x", "<= 0.30x of the first", again <= 0.30 * wall)
            verified, _, _, _, *_ = flash(build, work, package, memory, disk + 64 * MIB, ("--link", "usb2"),
                                      ("--verify",), quick=False)
            # A programmer hashes between commands, never while it receives:
            # the plain flash plus the hashing is as fast as it can be.
            floor = (wall + size / 300e6) / wall
            row(f"emmc: brv flash --verify (programmer hashes at 300 MB/s: at best {floor:.3f}x)",
                f"{verified:.2f} s = {verified / wall:.3f}x", "<= 1.10x of the plain flash", verified <= 1.10 * wall)
            fast, _, _, _, *_ = flash(build, work, package, memory, disk + 64 * MIB,
                                  ("--link", "usb2", "--digest-rate", "1000"), ("--verify",), quick=False)
            row("emmc: the same with a programmer hashing at 1000 MB/s",
                f"{fast:.2f} s = {fast / wall:.3f}x", "(for reference)")
        shutil.rmtree(os.path.join(work, "state"), ignore_errors=True)
        os.remove(package)


def case_usb3(build, work):
    header("SuperSpeed link model (--link usb3), 1 GiB of mixed content, default waits")
    size = GIB
    package, disk = make_package(build, work, "usb3", "ufs", 4096, [("system", size, size // 4096, write_mixed)])
    link_s = size / MIB * USB3_MIB_S
    minimum = BOOT_MS / 1000 + link_s
    wall, write_s, _, _, lines = flash(build, work, package, "ufs", disk + 64 * MIB, ("--link", "usb3"), quick=False)
    first_write = next(t for t, l in lines if "Writing" in l)
    row(f"first write after the start (check and digest passes of the {os.path.getsize(package) / MIB:.0f} MiB "
        "package, upload, start-up)", f"{first_write:.2f} s",
        f"(start-up {BOOT_MS / 1000:.2f} s)")
    row(f"brv flash, start to exit (minimum {minimum:.2f} s)", f"{wall:.2f} s = {wall / minimum:.3f}x", "<= 1.10x",
        wall <= 1.10 * minimum)
    row(f"link busy in the write phase ({link_s:.2f} s of link time)", f"{link_s / write_s * 100:.0f}% of {write_s:.2f} s",
        ">= 95%", link_s / write_s >= 0.95)
    os.remove(package)
    # The same with repeats deflate can reach: a smaller package, less to digest and inflate.
    package, disk = make_package(build, work, "usb3", "ufs", 4096,
                                 [("system", size, size // 4096, lambda path, n: write_mixed(path, n, 4))])
    packed = os.path.getsize(package) / MIB
    wall, _, _, _, _ = flash(build, work, package, "ufs", disk + 64 * MIB, ("--link", "usb3"), quick=False)
    row(f"the same, repeated blocks drawn from 4 (package {packed:.0f} MiB)", f"{wall:.2f} s = {wall / minimum:.3f}x",
        "(for reference)")
    os.remove(package)


def case_verify6(build, work):
    header("brv verify against openssl on the same 1 GiB package")
    package, _ = make_package(build, work, "verify6", "ufs", 4096, [("system", GIB, GIB // 4096, write_random)])
    md5, _, _, _ = run(["openssl", "dgst", "-md5", package])[:4]
    sha, _, _, _ = run(["openssl", "dgst", "-sha256", package])[:4]
    ours, _, _, _ = brv(build, "verify", package)
    row(f"brv verify (openssl: MD5 {md5:.2f} s, SHA-256 {sha:.2f} s)", f"{ours:.2f} s = {ours / (md5 + sha):.2f}x",
        "<= 0.70x of their sum", ours <= 0.70 * (md5 + sha))
    os.remove(package)


def case_size(build, work):
    print("\n## 1 GiB image, no link model")
    size = GIB
    package, disk = make_package(build, work, "size", "ufs", 4096, [("system", size, size // 4096, write_random)])
    verify_wall, _, _, _ = brv(build, "verify", package)
    wall, write_s, _, _, *_ = flash(build, work, package, "ufs", disk + 64 * MIB)
    print("| brv verify | brv flash | ratio | write phase |")
    print("|---|---|---|---|")
    print(f"| {verify_wall:.2f} s | {wall:.2f} s | {wall / verify_wall:.2f}x | {write_s:.2f} s |")
    os.remove(package)


def case_layout(build, work):
    print("\n## 61-partition eMMC layout, no link model")
    parts = []
    for i in range(61):
        size = (64 + (i * 37) % 960) * 1024  # 64 KiB to 1 MiB
        parts.append((f"part{i:02d}", size, size // 512 + 8, write_random))
    package, disk = make_package(build, work, "layout", "emmc", 512, parts)
    wall, write_s, _, _, *_ = flash(build, work, package, "emmc", disk + 16 * MIB)
    print(f"| partitions | brv flash wall | write phase |\n|---|---|---|\n| 61 | {wall:.2f} s | {write_s:.2f} s |")
    os.remove(package)


def case_memory(build, work):
    header("Peak resident memory")
    for size in (GIB, 5 * GIB):
        package, disk = make_package(build, work, f"mem{size >> 30}", "ufs", 4096,
                                     [("super", size, size // 4096, write_mostly_zero)])
        _, _, info_rss, _ = brv(build, "info", package)
        _, _, flash_rss, _, *_ = flash(build, work, package, "ufs", disk + 64 * MIB)
        more = (flash_rss - info_rss) / 1024
        row(f"{size >> 30} GiB partition: brv flash RSS ({flash_rss / 1024:.1f} MiB) over brv info's "
            f"({info_rss / 1024:.1f} MiB)", f"{more:.1f} MiB", "<= 64 MiB", more <= 64)
        os.remove(package)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--cases", default="wait,usb2,usb3,verify6,memory")
    parser.add_argument("--keep", help="scratch directory to use and keep")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="brv_flash_bench_")
    os.makedirs(work, exist_ok=True)
    try:
        for name in args.cases.split(","):
            {"wait": case_wait, "usb2": case_usb2, "usb3": case_usb3, "verify6": case_verify6, "memory": case_memory,
             "size": case_size, "layout": case_layout}[name](build, work)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
