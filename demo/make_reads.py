#!/usr/bin/env python3
"""Writes the demo's aligned R2 reads as SAM text, deterministically (fixed seed).

  python3 demo/make_reads.py demo/genes.gtf demo/extra.fasta > demo/reads.sam
  python3 demo/make_reads.py GTF FASTA READS RECEPTOR_SHARE > reads.sam   (default 4000 0.08)

Reads are named "<read>;<cell index>;<UMI>" and grouped by read (NH records in a row), as the
aligner step leaves them. The mix: exon reads of every gene (some spliced), intronic, antisense,
intergenic, multi-mapped, unmapped, phiX, AbSeq and sample-tag reads, receptor reads, and a few
reads whose UMI is too short to count.
"""
import random
import sys

READ_LENGTH = 60
CHROMOSOME, CHROMOSOME_LENGTH = "chrD", 80000
PHIX, PHIX_LENGTH = "phiX174", 5386
PADDING, PADDING_LENGTH = "STARReferenceCPadding", 500


def load_genes(path):
    genes = {}
    for line in open(path):
        if line.startswith("#"):
            continue
        fields = line.rstrip("\n").split("\t")
        if len(fields) < 9 or fields[2] not in ("gene", "exon"):
            continue
        name = fields[8].split('gene_name "')[1].split('"')[0]
        gene = genes.setdefault(name, {"strand": fields[6], "exons": []})
        span = (int(fields[3]), int(fields[4]))
        if fields[2] == "gene":
            gene["span"] = span
        else:
            gene["exons"].append(span)
    return genes


def load_references(path):
    names = []
    for line in open(path):
        if line.startswith(">"):
            names.append(line[1:].split()[0])
    return names


def main():
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        sys.stdout.write(__doc__)
        sys.exit(0)
    if len(sys.argv) not in (3, 4, 5):
        sys.exit("usage: make_reads.py GTF FASTA [READS [RECEPTOR_SHARE]]\n" + __doc__)
    genes = load_genes(sys.argv[1])
    extras = load_references(sys.argv[2])
    reads = int(sys.argv[3]) if len(sys.argv) > 3 else 4000
    receptor_share = float(sys.argv[4]) if len(sys.argv) > 4 else 0.08
    rng = random.Random(20261205)
    cells = [str(rng.randrange(1, 900000)) for _ in range(40)]

    def umi(length=8):
        return "".join(rng.choice("ACGT") for _ in range(length))

    def sequence():
        return "".join(rng.choice("ACGT") for _ in range(READ_LENGTH))

    print("@HD\tVN:1.6\tSO:unsorted")
    print(f"@SQ\tSN:{CHROMOSOME}\tLN:{CHROMOSOME_LENGTH}")
    print(f"@SQ\tSN:{PHIX}\tLN:{PHIX_LENGTH}")
    for name in extras:
        print(f"@SQ\tSN:{name}\tLN:200")
    print(f"@SQ\tSN:{PADDING}\tLN:{PADDING_LENGTH}")
    print("@PG\tID:demo\tPN:make_reads.py")

    quality = "I" * READ_LENGTH
    names = sorted(genes)
    receptor = [n for n in names if n.startswith(("TR", "IG"))]
    plain = [n for n in names if n not in receptor]

    def record(qname, flag, reference, pos, cigar, nh, seq=None):
        seq = seq or sequence()
        if flag & 4:
            return f"{qname}\t4\t*\t0\t0\t*\t*\t0\t0\t{seq}\t{quality}\tNH:i:0"
        return (f"{qname}\t{flag}\t{reference}\t{pos}\t255\t{cigar}\t*\t0\t0\t{seq}\t{quality}"
                f"\tNH:i:{nh}")

    for i in range(reads):
        cell = rng.choice(cells)
        qname = f"DEMO:1:FC:1:{1101 + i % 4}:{i};{cell};{umi(7 if rng.random() < 0.02 else 8)}"
        roll = rng.random()
        gene = genes[rng.choice(receptor if roll < receptor_share else plain)]
        sense = 0 if gene["strand"] == "+" else 16
        exon = rng.choice(gene["exons"])
        in_exon = rng.randrange(exon[0], max(exon[0] + 1, exon[1] - READ_LENGTH))
        if roll < 0.55:  # sense exon read; a quarter spliced into the next exon
            exons = sorted(gene["exons"])
            k = exons.index(exon)
            if k + 1 < len(exons) and rng.random() < 0.25:
                first = 20
                gap = exons[k + 1][0] - exon[1] - 1
                print(record(qname, sense, CHROMOSOME, exon[1] - first + 1,
                             f"{first}M{gap}N{READ_LENGTH - first}M", 1))
            else:
                print(record(qname, sense, CHROMOSOME, in_exon, f"{READ_LENGTH}M", 1))
        elif roll < 0.65:  # intronic or elsewhere in the gene
            span = gene["span"]
            print(record(qname, sense, CHROMOSOME, rng.randrange(span[0], span[1] - READ_LENGTH),
                         f"{READ_LENGTH}M", 1))
        elif roll < 0.70:  # antisense
            print(record(qname, sense ^ 16, CHROMOSOME, in_exon, f"{READ_LENGTH}M", 1))
        elif roll < 0.73:  # intergenic
            print(record(qname, 0, CHROMOSOME, rng.randrange(74000, 79000), f"{READ_LENGTH}M", 1))
        elif roll < 0.80:  # multi-mapped: two or three alignments
            nh = rng.choice((2, 3))
            seq = sequence()
            for k in range(nh):
                other = genes[rng.choice(plain)] if k else gene
                o = rng.choice(other["exons"])
                print(record(qname, 256 if k else 0, CHROMOSOME, o[0] + 10, f"{READ_LENGTH}M", nh,
                             seq))
        elif roll < 0.84:  # unmapped
            print(record(qname, 4, "*", 0, "*", 0))
        elif roll < 0.86:  # phiX spike-in, some spliced
            cigar = f"{READ_LENGTH}M" if rng.random() < 0.7 else f"30M100N{READ_LENGTH - 30}M"
            print(record(qname, 0, PHIX, rng.randrange(1, 5000), cigar, 1))
        elif roll < 0.93:  # AbSeq antibody
            antibody = rng.choice([n for n in extras if n.endswith("pAbO")])
            print(record(qname, 0, antibody, rng.randrange(1, 10), f"{READ_LENGTH}M", 1))
        elif roll < 0.98:  # sample tag
            tag = rng.choice([n for n in extras if n.endswith("stAbO")])
            print(record(qname, 0, tag, rng.randrange(1, 20), f"{READ_LENGTH}M", 1))
        else:  # on the padding reference
            print(record(qname, 0, PADDING, 10, f"{READ_LENGTH}M", 1))


if __name__ == "__main__":
    main()
