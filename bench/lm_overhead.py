"""Build and run bench/lm_overhead.c against the installed ombrix; write
bench/results/lm_overhead.md.

    python bench/lm_overhead.py [n m iterations repeats]

The BLAS thread count comes from OPENBLAS_NUM_THREADS (default 1 here).
"""

import os
import platform
import shutil
import subprocess
import sys
import tempfile

import ombrix

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv):
    n, m, iterations, repeats = (argv + ["20000", "100", "10", "15"][len(argv):])[:4]
    lib = ombrix.get_lib_dir()
    prefix = "scipy_" if os.path.exists(os.path.join(lib, "libscipy_openblas.so")) else ""
    blas = ["-l:libscipy_openblas.so"] if prefix else ["-lblas", "-llapack"]
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "lm_overhead")
        cc = shutil.which("cc") or "gcc"
        subprocess.run([cc, "-O2", "-std=c11", f"-DBLAS_PREFIX={prefix}", os.path.join(HERE, "lm_overhead.c"),
                        f"-I{ombrix.get_include()}", f"-L{lib}", "-lombrix", *blas, f"-Wl,-rpath,{lib}", "-o", exe],
                       check=True)
        out = subprocess.run([exe, n, m, iterations, repeats], check=True, capture_output=True, text=True,
                             env=env).stdout
    print(out, end="")
    machine = f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}"
    with open(os.path.join(HERE, "results", "lm_overhead.md"), "w") as f:
        f.write("# dombrix_der: time per iteration against its unavoidable work\n\n")
        f.write(f"Machine: {machine}; BLAS threads: {env['OPENBLAS_NUM_THREADS']}; "
                f"ombrix's bundled OpenBLAS ({'scipy-openblas32' if prefix else 'system'}).\n\n")
        f.write("Command: `python bench/lm_overhead.py " + " ".join([n, m, iterations, repeats]) + "`\n\n")
        f.write("```\n" + out + "```\n")


if __name__ == "__main__":
    main(sys.argv[1:])
