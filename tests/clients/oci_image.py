#!/usr/bin/env python3
"""Builds OCI images offline into an OCI image layout directory (oci-layout,
index.json, blobs/sha256/...), for the real-client tests to push.

docker_archive() writes one of them as the tar `docker load` reads.

Everything is deterministic for a given seed: the same seed gives the same
bytes and so the same digests, which the tests compare after a round trip.

    python3 oci_image.py LAYOUT TAG [--layers N] [--seed S] [--index]
prints the digests as JSON."""
import argparse
import gzip
import hashlib
import io
import json
import os
import random
import tarfile

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_INDEX = "application/vnd.oci.image.index.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER_GZIP = "application/vnd.oci.image.layer.v1.tar+gzip"
REF_NAME = "org.opencontainers.image.ref.name"


def digest_of(data, algorithm="sha256"):
    """ALGORITHM:HEX of data; algorithm is "sha256" or "sha512"."""
    return f"{algorithm}:{hashlib.new(algorithm, data).hexdigest()}"


def sha256(data):
    return digest_of(data)


def canonical(doc):
    return json.dumps(doc, sort_keys=True, separators=(",", ":")).encode()


class Layout:
    """An OCI image layout directory; blobs are written once, by digest."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        os.makedirs(os.path.join(self.path, "blobs", "sha256"), exist_ok=True)
        with open(os.path.join(self.path, "oci-layout"), "w") as f:
            json.dump({"imageLayoutVersion": "1.0.0"}, f)
        if not os.path.exists(self.index_path):
            self._write_index({"schemaVersion": 2, "manifests": []})

    @property
    def index_path(self):
        return os.path.join(self.path, "index.json")

    def blob_path(self, digest):
        algo, hexpart = digest.split(":", 1)
        return os.path.join(self.path, "blobs", algo, hexpart)

    def read_blob(self, digest):
        with open(self.blob_path(digest), "rb") as f:
            return f.read()

    def add_blob(self, data, media_type, extra=None, algorithm="sha256"):
        digest = digest_of(data, algorithm)
        p = self.blob_path(digest)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        if not os.path.exists(p):
            with open(p + ".tmp", "wb") as f:
                f.write(data)
            os.replace(p + ".tmp", p)
        desc = {"mediaType": media_type, "digest": digest, "size": len(data)}
        desc.update(extra or {})
        return desc

    def index(self):
        with open(self.index_path) as f:
            return json.load(f)

    def _write_index(self, doc):
        with open(self.index_path + ".tmp", "w") as f:
            json.dump(doc, f, indent=2)
        os.replace(self.index_path + ".tmp", self.index_path)

    def tag(self, desc, tag):
        """Names desc as tag in index.json (replacing an older entry)."""
        doc = self.index()
        doc["manifests"] = [m for m in doc["manifests"]
                            if m.get("annotations", {}).get(REF_NAME) != tag]
        entry = {k: desc[k] for k in ("mediaType", "digest", "size")}
        entry["annotations"] = {REF_NAME: tag}
        doc["manifests"].append(entry)
        self._write_index(doc)

    def resolve(self, tag):
        """The descriptor that index.json names tag."""
        for m in self.index()["manifests"]:
            if m.get("annotations", {}).get(REF_NAME) == tag:
                return m
        raise KeyError(tag)


def layer_files(seed, n, size):
    """The files of layer n, path to bytes: a small text file and one of
    size pseudo-random bytes, all from the seed, in a directory of their own."""
    rng = random.Random(f"{seed}/{n}")
    return {f"layer{n}/seed.txt": f"seed {seed} layer {n}\n".encode(),
            f"layer{n}/data.bin": rng.randbytes(size)}


def layer_tar(seed, n, size):
    """Uncompressed tar bytes of layer n (layer_files under its directory)."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.PAX_FORMAT) as tar:
        def add(name, data=None):
            info = tarfile.TarInfo(name)
            info.mtime = 1_600_000_000
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            if data is None:
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                tar.addfile(info)
            else:
                info.mode = 0o644
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
        add(f"layer{n}")
        for name, data in layer_files(seed, n, size).items():
            add(name, data)
    return buf.getvalue()


def build_image(layout, tag=None, layers=2, seed="seed", layer_size=4096,
                os_name="linux", arch="amd64", variant=None, annotations=None,
                algorithm="sha256"):
    """Writes one image (layers, config, manifest) into layout and, when tag
    is given, names it in index.json. layer_size is an int or a list with
    one size per layer; algorithm names every blob and the manifest (the
    diff IDs stay sha256, as the clients compute them). Returns the digests,
    the blobs' bytes and the files the image's root file system holds."""
    if not isinstance(layout, Layout):
        layout = Layout(layout)
    sizes = layer_size if isinstance(layer_size, list) else [layer_size] * layers
    layer_descs, diff_ids, layer_blobs, files = [], [], {}, {}
    for n in range(layers):
        files.update(layer_files(f"{seed}/{arch}", n, sizes[n]))
        raw = layer_tar(f"{seed}/{arch}", n, sizes[n])
        # mtime=0 keeps the gzip header, and so the digest, repeatable.
        gz = gzip.compress(raw, compresslevel=6, mtime=0)
        diff_ids.append(sha256(raw))
        desc = layout.add_blob(gz, OCI_LAYER_GZIP, algorithm=algorithm)
        layer_descs.append(desc)
        layer_blobs[desc["digest"]] = gz
    platform = {"architecture": arch, "os": os_name}
    if variant:
        platform["variant"] = variant
    config = dict(platform)
    config.update({
        "created": "2020-09-13T12:26:40Z",
        "config": {"Env": ["PATH=/usr/bin:/bin"], "Cmd": ["/bin/true"],
                   "Labels": {"seed": str(seed)}},
        "rootfs": {"type": "layers", "diff_ids": diff_ids},
        "history": [{"created": "2020-09-13T12:26:40Z", "created_by": f"layer {n}"}
                    for n in range(layers)],
    })
    config_bytes = canonical(config)
    config_desc = layout.add_blob(config_bytes, OCI_CONFIG, algorithm=algorithm)
    manifest = {"schemaVersion": 2, "mediaType": OCI_MANIFEST,
                "config": config_desc, "layers": layer_descs}
    if annotations:
        manifest["annotations"] = annotations
    manifest_bytes = canonical(manifest)
    manifest_desc = layout.add_blob(manifest_bytes, OCI_MANIFEST, algorithm=algorithm)
    if tag:
        layout.tag(manifest_desc, tag)
    return {
        "layout": layout.path,
        "tag": tag,
        "digest": manifest_desc["digest"],
        "size": manifest_desc["size"],
        "manifest": manifest_bytes,
        "config_digest": config_desc["digest"],
        "config": config_bytes,
        "layers": [d["digest"] for d in layer_descs],
        "layer_blobs": layer_blobs,
        "diff_ids": diff_ids,
        "files": files,
        "platform": platform,
    }


def build_index(layout, tag, platforms=(("linux", "amd64", None), ("linux", "arm64", "v8")),
                layers=2, seed="index", layer_size=4096):
    """Writes one image per platform and an image index over them, named tag.
    Returns the index digest and bytes and each child's build_image result."""
    if not isinstance(layout, Layout):
        layout = Layout(layout)
    children, descs = [], []
    for os_name, arch, variant in platforms:
        child = build_image(layout, None, layers=layers, seed=seed, layer_size=layer_size,
                            os_name=os_name, arch=arch, variant=variant)
        children.append(child)
        descs.append({"mediaType": OCI_MANIFEST, "digest": child["digest"],
                      "size": child["size"], "platform": child["platform"]})
    index = {"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": descs}
    index_bytes = canonical(index)
    desc = layout.add_blob(index_bytes, OCI_INDEX)
    layout.tag(desc, tag)
    return {"layout": layout.path, "tag": tag, "digest": desc["digest"],
            "size": desc["size"], "index": index_bytes, "children": children}


def docker_archive(image, path, repo_tags):
    """Writes image (a build_image result) as the tar `docker load` reads:
    the config, each layer uncompressed, and a manifest.json naming them and
    the tags the loaded image gets."""
    def add(tar, name, data):
        info = tarfile.TarInfo(name)
        info.mtime = 1_600_000_000
        info.mode = 0o644
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))

    config_name = image["config_digest"].split(":", 1)[1] + ".json"
    with tarfile.open(path, "w") as tar:
        add(tar, config_name, image["config"])
        layers = []
        for digest, diff_id in zip(image["layers"], image["diff_ids"]):
            name = diff_id.split(":", 1)[1] + "/layer.tar"
            add(tar, name, gzip.decompress(image["layer_blobs"][digest]))
            layers.append(name)
        add(tar, "manifest.json", json.dumps(
            [{"Config": config_name, "RepoTags": list(repo_tags), "Layers": layers}]).encode())
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("layout")
    ap.add_argument("tag")
    ap.add_argument("--layers", type=int, default=2)
    ap.add_argument("--layer-size", type=int, default=4096)
    ap.add_argument("--seed", default="seed")
    ap.add_argument("--index", action="store_true", help="an amd64 + arm64 image index")
    a = ap.parse_args()
    if a.index:
        r = build_index(a.layout, a.tag, layers=a.layers, seed=a.seed, layer_size=a.layer_size)
        out = {"digest": r["digest"], "children": [c["digest"] for c in r["children"]]}
    else:
        r = build_image(a.layout, a.tag, layers=a.layers, seed=a.seed, layer_size=a.layer_size)
        out = {"digest": r["digest"], "config": r["config_digest"], "layers": r["layers"]}
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
