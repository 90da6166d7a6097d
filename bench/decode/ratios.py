#!/usr/bin/env python3
"""Median megapixels per second from decode_bench's JSON output, with our converters and
stretch against libyuv's on the same pixels.
  decode_bench --benchmark_repetitions=3 --benchmark_out=bench.json --benchmark_out_format=json
  bench/decode/ratios.py bench.json"""
import json
import sys

runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {r["run_name"]: r["MP/s"] for r in runs if r.get("aggregate_name") == "median"}
if not median:  # a single repetition has no aggregates
    median = {r["name"]: r["MP/s"] for r in runs}

print(f"{'benchmark':70} {'MP/s':>9}")
for name, value in median.items():
    print(f"{name:70} {value:9.1f}")

print()
print(f"{'ours vs libyuv':56} {'vs SIMD':>8} {'vs C':>8}")
for size in ("640x480", "320x240", "160x120"):
    for ours in ("ConvertToRgb24", "ConvertToRgb16", "ConvertToRgb24_avx2_rows", "ConvertToRgb16_avx2_rows"):
        if f"Convert/{ours}/{size}" not in median:  # the AVX2 rows run alone only beside AVX-512
            continue
        simd = median[f"Convert/libyuv_YUY2ToARGB_simd/{size}"]
        plain = median[f"Convert/libyuv_YUY2ToARGB_c/{size}"]
        value = median[f"Convert/{ours}/{size}"]
        print(f"{ours + ' / YUY2ToARGB ' + size:56} {value / simd:8.2f} {value / plain:8.2f}")
    key = next(k for k in median if k.startswith("Stretch/ScaleWidth+ScaleHeight/") and k.endswith(size))
    sizes = key.split("/")[-1]
    simd = median[f"Stretch/libyuv_I422Scale_bilinear_simd/{sizes}"]
    plain = median[f"Stretch/libyuv_I422Scale_bilinear_c/{sizes}"]
    print(f"{'ScaleWidth+ScaleHeight / I422Scale ' + sizes:56} {median[key] / simd:8.2f} {median[key] / plain:8.2f}")
