#!/usr/bin/env python3
"""Flash benchmarks through the real `brv` on the virtual handset.

Builds packages with `brv pack` under a scratch directory, runs `brv flash`
under `brv-vhandset` and reports, per case: the whole command's wall time, the
time and rate of its write phase (from the first "Writing" progress line to
the end), and the process's peak resident memory (the handset runs inside it).

    bench/flash_bench.py BUILD_DIR [--cases link,size,layout,memory] [--keep DIR]

Cases:
  link    256 MiB image on eMMC and on UFS over the USB 2.0 link model
          (--link usb2), with today's defaults and with --sector-writes;
  size    a 1 GiB image without a link model: `brv flash` against `brv verify`;
  layout  a 61-partition eMMC layout without a link model;
  memory  1 GiB and 5 GiB partitions: peak RSS of `brv flash` against `brv info`.
Not a test: it prints figures and asserts nothing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
GIB = 1 << 30


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
    """Wall time, write-phase seconds, peak RSS (KiB) and output of one command.

    The RSS comes from GNU time, a small process that starts the command: a
    child forked from this Python process would carry Python's own peak."""
    begin = time.monotonic()
    rss_file = tempfile.NamedTemporaryFile(prefix="brv_rss_", delete=False)
    rss_file.close()
    cmd = ["/usr/bin/time", "-f", "%M", "-o", rss_file.name, *cmd]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    first_write = None
    err_lines = []
    for line in proc.stderr:
        err_lines.append(line)
        if first_write is None and "Writing" in line:
            first_write = time.monotonic()
    out = proc.stdout.read()
    _, status, _ = os.wait4(proc.pid, 0)
    end = time.monotonic()
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_file.name) as f:
        rss_kib = int(f.read().split()[-1])
    os.remove(rss_file.name)
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{out}{''.join(err_lines[-5:])}")
    write_s = end - first_write if first_write else None
    return end - begin, write_s, rss_kib, out


def flash(build, work, package, memory, disk, extra_handset=(), extra_brv=()):
    state = os.path.join(work, "state")
    shutil.rmtree(state, ignore_errors=True)
    env = dict(os.environ, BRV_PROGRAMMER_WAIT_MS="0")
    cmd = [os.path.join(build, "bin", "brv-vhandset"), "--state", state, "--memory", memory,
           "--disk-size", str(disk), *extra_handset, "--", os.path.join(build, "bin", "brv"), "flash", package,
           *extra_brv]
    result = run(cmd, env)
    shutil.rmtree(state, ignore_errors=True)
    return result


def brv(build, *args):
    return run([os.path.join(build, "bin", "brv"), *args])


def case_link(build, work):
    print("\n## USB 2.0 link model (--link usb2), 256 MiB image")
    print("| storage | writes | brv flash wall | write phase | rate | share of 53 MB/s |")
    print("|---|---|---|---|---|---|")
    for memory, sector in (("emmc", 512), ("ufs", 4096)):
        size = 256 * MIB
        package, disk = make_package(build, work, f"link_{memory}", memory, sector,
                                     [("system", size, size // sector, write_random)])
        for label, extra in (("1 MiB pieces", ()), ("--sector-writes", ("--sector-writes",))):
            if extra and memory == "emmc":
                # One 512-byte write per 125 us microframe: about 2 MB/s, over two minutes.
                print(f"| {memory} | {label} | (skipped: about 2 MB/s by the model) | | | |")
                continue
            wall, write_s, _, _ = flash(build, work, package, memory, disk + 64 * MIB, ("--link", "usb2"), extra)
            rate = size / write_s / 1e6
            print(f"| {memory} | {label} | {wall:.1f} s | {write_s:.2f} s | {rate:.1f} MB/s | {rate / 53.3 * 100:.0f}% |")
        os.remove(package)


def case_size(build, work):
    print("\n## 1 GiB image, no link model")
    size = GIB
    package, disk = make_package(build, work, "size", "ufs", 4096, [("system", size, size // 4096, write_random)])
    verify_wall, _, _, _ = brv(build, "verify", package)
    wall, write_s, _, _ = flash(build, work, package, "ufs", disk + 64 * MIB)
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
    wall, write_s, _, _ = flash(build, work, package, "emmc", disk + 16 * MIB)
    print(f"| partitions | brv flash wall | write phase |\n|---|---|---|\n| 61 | {wall:.2f} s | {write_s:.2f} s |")
    os.remove(package)


def case_memory(build, work):
    print("\n## Peak resident memory")
    print("| partition | brv info RSS | brv flash RSS | difference | brv flash wall |")
    print("|---|---|---|---|---|")
    for size in (GIB, 5 * GIB):
        package, disk = make_package(build, work, f"mem{size >> 30}", "ufs", 4096,
                                     [("super", size, size // 4096, write_mostly_zero)])
        _, _, info_rss, _ = brv(build, "info", package)
        wall, _, flash_rss, _ = flash(build, work, package, "ufs", disk + 64 * MIB)
        print(f"| {size >> 30} GiB | {info_rss / 1024:.1f} MiB | {flash_rss / 1024:.1f} MiB | "
              f"{(flash_rss - info_rss) / 1024:.1f} MiB | {wall:.1f} s |")
        os.remove(package)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--cases", default="link,size,layout,memory")
    parser.add_argument("--keep", help="scratch directory to use and keep")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="brv_flash_bench_")
    os.makedirs(work, exist_ok=True)
    try:
        for name in args.cases.split(","):
            {"link": case_link, "size": case_size, "layout": case_layout, "memory": case_memory}[name](build, work)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
