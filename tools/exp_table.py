"""Prints the table of 2^(i/128), i = 0..127, for src/circuit/exp_pair.cpp.

Each entry is the double nearest 2^(i/128) and its relative remainder
tau = (2^(i/128) - S)/S, both formed from 60-digit decimal arithmetic, so the
table does not depend on the libm or long double of the machine that made it.
Run: python3 tools/exp_table.py, and paste the entries over the table.
"""

from decimal import Decimal, getcontext

getcontext().prec = 60
N = 128


def main():
    ln2 = Decimal(2).ln()
    print(f"// 128/ln 2 = {float(N / ln2).hex()}")
    ln2_n = ln2 / N
    # ln 2/128 with 35 significant bits, so that k times it is exact for |k| < 2^17.
    hi = float(int(ln2_n * 2**42) / Decimal(2**42))
    print(f"// ln 2/128 = {hi.hex()} + {float(ln2_n - Decimal(hi)).hex()}")
    for i in range(N):
        exact = (Decimal(i) / N * ln2).exp()
        nearest = float(exact)
        tau = float((exact - Decimal(nearest)) / Decimal(nearest))
        print(f"    {{{nearest.hex()}, {tau.hex()}}},")


if __name__ == "__main__":
    main()
