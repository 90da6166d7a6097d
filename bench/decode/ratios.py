#!/usr/bin/env python3
"""Median megapixels per second from decode_bench's JSON output, with our converters and
stretch against libyuv's on the same pixels, and each stage against its target.
  decode_bench --benchmark_repetitions=5 --benchmark_out=bench.json --benchmark_out_format=json
  bench/decode/ratios.py bench.json [original.json]
original.json is the same benchmark from the build before the vector paths (5b72394), run in
the same session; each stage's speed-up is taken against it."""
import json
import sys

# CPU µs at 640x480 when the vector paths were asked for (one run on the loaded 2-core machine).
FILED_640 = {
    "Convert/ConvertToRgb24": 318,
    "Expand/ExpandMode1Frame": 17.9,
    "Expand/DecodeMode2Frame": 590,  # the decoders were 590 to 640: the strictest for each
    "Expand/DecodeMode3Frame": 590,
    "Expand/DecodeMode4Frame": 590,
    "DecodeFrame/mode2/24bit/640x480_from_232x240": 690,
    "DecodeFrame/mode2/24bit/640x480_unstretched": 950,
}
SIZES = ("640x480", "320x240", "160x120")


def medians(path, key):
    runs = json.load(open(path))["benchmarks"]
    found = {r["run_name"]: r[key] for r in runs if r.get("aggregate_name") == "median"}
    return found or {r["name"]: r[key] for r in runs}  # a single repetition has no aggregates


def find(table, prefix, size):
    """The benchmark of a stage at an output size, whatever captured size it came from."""
    ends = ("/" + size, "_to_" + size)
    return next((k for k in table if k.startswith(prefix + "/") and (k.endswith(ends) or f"/{size}_" in k)), None)


rate = medians(sys.argv[1], "MP/s")
cpu = medians(sys.argv[1], "cpu_time")
original = medians(sys.argv[2], "cpu_time") if len(sys.argv) > 2 else {}
SIZES = [size for size in SIZES if f"Convert/ConvertToRgb24/{size}" in rate]  # as --benchmark_filter left them

print(f"{'benchmark':70} {'MP/s':>9}")
for name, value in rate.items():
    print(f"{name:70} {value:9.1f}")

print()
print(f"{'ours vs libyuv':56} {'vs SIMD':>8} {'vs C':>8}")
for size in SIZES:
    for ours in ("ConvertToRgb24", "ConvertToRgb16", "ConvertToRgb24_avx2_rows", "ConvertToRgb16_avx2_rows"):
        if f"Convert/{ours}/{size}" not in rate:  # the AVX2 rows run alone only beside AVX-512
            continue
        simd = rate[f"Convert/libyuv_YUY2ToARGB_simd/{size}"]
        plain = rate[f"Convert/libyuv_YUY2ToARGB_c/{size}"]
        value = rate[f"Convert/{ours}/{size}"]
        print(f"{ours + ' / YUY2ToARGB ' + size:56} {value / simd:8.2f} {value / plain:8.2f}")
    key = find(rate, "Stretch/ScaleWidth+ScaleHeight", size)
    sizes = key.split("/")[-1]
    simd = rate[f"Stretch/libyuv_I422Scale_bilinear_simd/{sizes}"]
    plain = rate[f"Stretch/libyuv_I422Scale_bilinear_c/{sizes}"]
    print(f"{'ScaleWidth+ScaleHeight / I422Scale ' + sizes:56} {rate[key] / simd:8.2f} {rate[key] / plain:8.2f}")
    if f"Expand/memcpy_output/{size}" in rate:
        copy = rate[f"Expand/memcpy_output/{size}"]
        print(f"{'ExpandMode1Frame / memcpy of its output ' + size:56} {rate['Expand/ExpandMode1Frame/' + size] / copy:8.2f}")


def row(stage, size, target, met, filed="", before=None, now=None):
    speed_up = f"{before / now:.2f}x" if before and now else ""
    before = f"{before:.1f}" if before else ""
    print(f"{stage:44} {size:8} {filed:>7} {before:>9} {now:9.1f} {speed_up:>8}  {target:26} {'yes' if met else 'NO'}")


print()
print("CPU µs (medians); filed: when the vector paths were asked for; original: 5b72394 in this session")
print(f"{'stage':44} {'output':8} {'filed':>7} {'original':>9} {'now':>9} {'speed-up':>8}  {'target':26} met")
for size in SIZES:
    simd = rate[f"Convert/libyuv_YUY2ToARGB_simd/{size}"]
    for stage in ("Convert/ConvertToRgb24", "Convert/ConvertToRgb16"):
        ratio = rate[f"{stage}/{size}"] / simd
        filed = FILED_640.get(stage, "") if size == "640x480" else ""
        row(stage, size, f">= 0.5x YUY2ToARGB: {ratio:.2f}", ratio >= 0.5, str(filed), original.get(f"{stage}/{size}"),
            cpu[f"{stage}/{size}"])
    stages = ["Convert/ConvertToRgb24Double", "Convert/ConvertToRgb16Double", "Expand/ExpandMode1Frame",
              "Expand/DecodeMode2Frame", "Expand/DecodeMode3Frame", "Expand/DecodeMode4Frame", "Stretch/ScaleWidth",
              "Stretch/ScaleWidth+ScaleHeight"]
    for stage in stages:
        name = find(cpu, stage, size)
        filed = FILED_640.get(stage) if size == "640x480" else None
        base = filed or original.get(name)
        if base is None:
            row(stage, size, "2x original: none given", False, now=cpu[name])
            continue
        row(stage, size, f"<= {base / 2:.1f} (2x {'filed' if filed else 'original'})", cpu[name] <= base / 2,
            str(filed or ""), original.get(name), cpu[name])
for name in cpu:
    if name.startswith("DecodeFrame/") and "/24bit/640x480" in name:
        filed = FILED_640.get(name)
        row(name.removeprefix("DecodeFrame/"), "640x480", "< 400", cpu[name] < 400, str(filed or ""), original.get(name),
            cpu[name])
