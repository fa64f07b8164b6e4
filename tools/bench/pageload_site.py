"""The page-load benchmark's site (pageload.py): a throw-away CA and one
certificate for 12 HTTPS origins (127.0.0.2 to 127.0.0.13 on port 443), the
two pages and their subresources, Debian's nginx serving them, and an NSS
database that trusts the CA for Chromium. Loopback only.
"""
import os, random, struct, subprocess, zlib

ORIGINS = ["127.0.0.%d" % n for n in range(2, 14)]


def url(origin, path):
    return "https://%s/%s" % (origin, path)


# --- the certificates ----------------------------------------------------------------
def make_pki(work):
    """A CA and one server certificate naming every origin, both P-256, so
    that nginx's handshakes stay cheap beside what is measured."""
    ca, key = os.path.join(work, "ca.pem"), os.path.join(work, "ca.key")
    leaf, leaf_key = os.path.join(work, "site.pem"), os.path.join(work, "site.key")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run = lambda *a: subprocess.run(["openssl", *a], check=True, capture_output=True)  # noqa: E731
    run("req", "-x509", *ec, "-days", "30", "-sha256", "-subj", "/CN=Sovelin Page-Load Test CA",
        "-keyout", key, "-out", ca, "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    csr = os.path.join(work, "site.csr")
    run("req", *ec, "-subj", "/CN=page-load origins", "-keyout", leaf_key, "-out", csr)
    ext = os.path.join(work, "site.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"
                % ",".join("IP:" + o for o in ORIGINS))
    run("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", key, "-CAcreateserial", "-days", "30",
        "-sha256", "-extfile", ext, "-out", leaf)
    return ca, leaf, leaf_key


def make_nssdb(home, ca):
    """Chromium on Linux trusts what $HOME/.pki/nssdb trusts; a HOME of the
    benchmark's own keeps the machine's store untouched."""
    db = os.path.join(home, ".pki", "nssdb")
    os.makedirs(db)
    subprocess.run(["certutil", "-N", "-d", "sql:" + db, "--empty-password"], check=True)
    subprocess.run(["certutil", "-A", "-d", "sql:" + db, "-n", "sovelin-page-load-ca", "-t",
                    "C,,", "-i", ca], check=True)


# --- the pages -----------------------------------------------------------------------
def png(size):
    """A valid 1x1 PNG padded to about size bytes with a private chunk."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xffffffff)
    pad = max(0, size - 69)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)) +
            chunk(b"prVt", random.Random(size).randbytes(pad)) +
            chunk(b"IDAT", zlib.compress(b"\x00\xff\xff\xff")) + chunk(b"IEND", b""))


def padded(prefix, size, suffix):
    return prefix + b"/*" + b"x" * max(0, size - len(prefix) - len(suffix) - 4) + b"*/" + suffix


def make_page(root, name, count, origins, seed):
    """One document on the first origin and count subresources spread over
    origins: style sheets, scripts and images of 2 to 200 KB, all named in the
    document, as a news site's front page names most of what it needs.
    Returns the document's URL and the subresource count."""
    rng = random.Random(seed)
    head, body = [], []
    for i in range(count):
        origin = origins[i % len(origins)]
        kind = "css" if i % 10 in (0, 5) else "js" if i % 10 in (1, 4, 7) else "png"
        size = int(2000 * 100 ** rng.random())  # 2 KB to 200 KB, most of them small
        path = "%s/%d.%s" % (name, i, kind)
        with open(os.path.join(root, path), "wb") as f:
            if kind == "css":
                f.write(padded(b"", size, b".c%d{color:#123}\n" % i))
                head.append('<link rel="stylesheet" href="%s">' % url(origin, path))
            elif kind == "js":
                f.write(padded(b"", size, b"\nwindow.s%d=1;\n" % i))
                body.append('<script async src="%s"></script>' % url(origin, path))
            else:
                f.write(png(size))
                body.append('<img src="%s" width="1" height="1" alt="">' % url(origin, path))
    document = ("<!doctype html><html><head><meta charset=utf-8><title>%s</title>%s</head>"
                "<body><p>%s</p>%s</body></html>\n"
                % (name, "".join(head), "text " * 4000, "".join(body)))
    with open(os.path.join(root, name, "index.html"), "w") as f:
        f.write(document)
    return url(origins[0], name + "/index.html"), count


def make_site(work):
    """Both pages; returns {page: (url, subresources, origins)}."""
    root = os.path.join(work, "site")
    pages = {"light": (30, ORIGINS[:6]), "heavy": (80, ORIGINS)}
    out = {}
    for seed, (name, (count, origins)) in enumerate(pages.items()):
        os.makedirs(os.path.join(root, name))
        address, n = make_page(root, name, count, origins, seed)
        out[name] = (address, n, len(origins))
    return root, out


# --- nginx ---------------------------------------------------------------------------
def nginx_command(work, root, leaf, leaf_key):
    conf = os.path.join(work, "nginx.conf")
    servers = "".join("  server { listen %s:443 ssl; root %s; }\n" % (o, root) for o in ORIGINS)
    with open(conf, "w") as f:
        # HTTP/1.1 as most proxied page loads still go; keep-alive as Debian's defaults.
        f.write("user root;\nworker_processes 2;\ndaemon off;\npid %s/nginx.pid;\n"
                "error_log %s/nginx-error.log;\nevents { worker_connections 4096; }\n"
                "http {\n  access_log off;\n  include /etc/nginx/mime.types;\n"
                "  sendfile on;\n  tcp_nopush on;\n  tcp_nodelay on;\n  keepalive_timeout 65;\n"
                "  ssl_certificate %s;\n  ssl_certificate_key %s;\n"
                "  ssl_protocols TLSv1.2 TLSv1.3;\n"
                "  add_header Cache-Control no-store;\n  add_header Timing-Allow-Origin *;\n%s}\n"
                % (work, work, leaf, leaf_key, servers))
    return ["nginx", "-c", conf]
