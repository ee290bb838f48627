#!/usr/bin/env python3
"""Packs a bundle's folder into a .zip or a .tar.gz that depends on nothing
but the files' contents and modes: entries in byte order of their paths,
every time the given one (the last commit's), no owner, gzip without a name
or time. So the same build packed twice gives the same archive.

    archive.py FOLDER ARCHIVE EPOCH_SECONDS
"""
import gzip
import io
import os
import pathlib
import sys
import tarfile
import time
import zipfile


def entries(folder):
    """(path in the archive, file, executable) under the folder's own name."""
    files = sorted((p for p in folder.rglob("*") if p.is_file()), key=lambda p: p.relative_to(folder).as_posix().encode())
    return [(f"{folder.name}/{p.relative_to(folder).as_posix()}", p, os.access(p, os.X_OK)) for p in files]


def write_zip(folder, archive, epoch):
    # Zip times are local, at two-second steps, from 1980 on.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name, path, executable in entries(folder):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, path.read_bytes(), compresslevel=9)


def write_tar_gz(folder, archive, epoch):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.PAX_FORMAT) as tar:
        folders = set()
        for name, path, executable in entries(folder):
            parts = name.split("/")
            for depth in range(1, len(parts)):
                sub = "/".join(parts[:depth])
                if sub not in folders:
                    folders.add(sub)
                    info = tarfile.TarInfo(sub)
                    info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, epoch
                    tar.addfile(info)
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = path.stat().st_size, 0o755 if executable else 0o644, epoch
            with path.open("rb") as f:
                tar.addfile(info, f)
    with open(archive, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as z:
        z.write(data.getvalue())


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    folder, archive, epoch = pathlib.Path(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    if archive.endswith(".zip"):
        write_zip(folder, archive, epoch)
    elif archive.endswith(".tar.gz"):
        write_tar_gz(folder, archive, epoch)
    else:
        sys.exit(f"archive.py: {archive}: neither .zip nor .tar.gz")


if __name__ == "__main__":
    main()
