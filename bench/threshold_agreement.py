#!/usr/bin/python3
"""How lintrace's thresholds translate to OpenCV's and scikit-image's Canny,
and how well the translated edge maps agree.

All three compare a gradient magnitude with the thresholds, but each measures
it on its own scale (grey levels 0..255 here):
  - lintrace: the sampled Gaussian derivative D(t) = g(t) t / sigma^2 along
    the gradient and the sampled Gaussian g(t) across it, taps at offsets 0 ..
    half - 1 (half = (mask + 1) / 2, mask = 4 sigma + 0.5 made odd and at
    least 3), neither normalised; magnitude hypot(dx, dy);
  - cv2.Canny after cv2.GaussianBlur: the blur's kernel sums to 1, then the
    3x3 Sobel: the difference [-1 0 1] along, the smoothing [1 2 1] (sum 4)
    across; the L2 norm (L2gradient=True) is hypot(dx, dy) like lintrace's,
    the default L1 norm |dx| + |dy| reads the same across a row or a column
    and up to sqrt(2) times more diagonally;
  - skimage.feature.canny (0.19): a Gaussian summing to 1, then ndimage's
    Sobel, on the [0, 1] scale of img_as_float; thresholds given for an
    integer image are divided by its type's largest value first (255 for
    uint8), so on a uint8 image they are on OpenCV's scale, and on a float
    image in [0, 1] they are those divided by 255.
What the magnitudes read at the centre of
  - a ramp of one grey level per pixel: lintrace (sum of 2 t D(t)) times
    (sum of g(t)): 0.594 at sigma 0.4, 0.908 at 1, 0.818 at 2; the peers 8;
  - a sharp step of one grey level between two pixels: lintrace (sum of D(t),
    t >= 1) times (sum of g(t)): 0.297 at sigma 0.4, 0.347 at 1, 0.176 at 2;
    the peers 4 (G(0) + G(1)), G their normalised Gaussian: 3.84, 2.56, 1.50
    at the same sigmas.
The peers smooth more at the same sigma: the Sobel's [1 2 1] adds a variance
of 1/2 across the gradient, its [-1 0 1] (the derivative of a box of width 2)
1/3 along it. So three translations, peer threshold = lintrace threshold *
factor:
  - same sigma, ramp: factor 8 / lintrace's ramp reading;
  - same sigma, step: factor the ratio of the step readings;
  - matched sigma, step (the one the README gives): the peer's sigma is
    sqrt(v - 1/3), v the variance of lintrace's sampled Gaussian (its
    effective sigma squared: 0.92 at sigma 1, 3.43 at sigma 2), but at least
    0.3 (below it the peers' blurs do next to nothing), and the factor is the
    ratio of the step readings at the two sigmas.
lintrace's -lt L -ht H then match cv2.Canny(blurred, L f, H f),
skimage.feature.canny(uint8, sigma, L f, H f) and
skimage.feature.canny(float, sigma, L f / 255, H f / 255); the other way, a
peer's sigma and thresholds give lintrace's -s (the sigma whose match it is)
and -lt, -ht (divided by f).

For every photograph in data/ and each setting this runs lintrace (pixel
positions), draws its edge map from the list (every point of every block),
runs each peer with the translated settings and prints the agreement of the
edge maps: a pixel of one map counts as matched when the other map has an
edge pixel within one pixel (Chebyshev distance 1); precision is the share of
the peer's edge pixels matched by lintrace's, recall the share of lintrace's
matched by the peer's, F1 their harmonic mean; the summary also gives the two
peers' agreement with each other (skimage in lintrace's place), for scale. A
band along the image border 4 sigma + 2 pixels wide (beyond every kernel's
reach) is left out of both maps: the three treat the outside of the image
differently (lintrace as black). Figures only; nothing is asserted. A peer
that is not installed is skipped with a note (Debian: python3-opencv,
python3-skimage).

usage: threshold_agreement.py [--build DIR] [--scan]
(--scan: also the agreement with the translated thresholds scaled by 0.7 to
1.4, to see where the best agreement lies)
"""
import argparse
import glob
import math
import os
import subprocess
import tempfile

import numpy as np

from netpbm import read_pgm

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Settings from lintrace's side, (sigma, low, high): the defaults and the
# settings the README suggests; every translation is measured on them.
LINTRACE_SETTINGS = [(0.4, 1.4, 2.0), (1.0, 2.0, 5.0), (1.0, 3.0, 6.0), (2.0, 1.5, 4.0)]
# Settings people bring from the peers, (sigma, low, high) on the Sobel scale
# of cv2.Canny and of skimage on uint8: cv2.Canny(blurred, 50, 150) at two
# blurs, and skimage.feature.canny's defaults (sigma 1, 10 % and 20 % of 255).
PEER_SETTINGS = [(1.0, 50.0, 150.0), (2.0, 50.0, 150.0), (1.0, 25.5, 51.0), (2.0, 10.0, 30.0)]
SOBEL_RAMP_GAIN = 8.0
SOBEL_ALONG_VARIANCE = 1.0 / 3.0
SMALLEST_PEER_SIGMA = 0.3


def mask_for_sigma(sigma):
    mask = max(int(4.0 * sigma + 0.5), 3)
    return mask + 1 if mask % 2 == 0 else mask


def lintrace_taps(sigma):
    """lintrace's taps g(t) and D(t) for t = 0 .. half - 1."""
    half = (mask_for_sigma(sigma) + 1) // 2
    norm = 1 / (sigma * math.sqrt(2 * math.pi))
    g = [math.exp(-(t * t) / (2 * sigma * sigma)) * norm for t in range(half)]
    return g, [g[t] * t / (sigma * sigma) for t in range(half)]


def lintrace_ramp_gain(sigma):
    """What lintrace's magnitude reads on a ramp of one grey level per pixel."""
    g, d = lintrace_taps(sigma)
    return sum(2 * t * d[t] for t in range(1, len(d))) * (g[0] + 2 * sum(g[1:]))


def lintrace_step_gain(sigma):
    """What lintrace's magnitude reads beside a step of one grey level."""
    g, d = lintrace_taps(sigma)
    return sum(d[1:]) * (g[0] + 2 * sum(g[1:]))


def lintrace_variance(sigma):
    """The variance of lintrace's sampled (truncated) Gaussian."""
    g, _ = lintrace_taps(sigma)
    return 2 * sum(t * t * g[t] for t in range(1, len(g))) / (g[0] + 2 * sum(g[1:]))


def sobel_step_gain(sigma):
    """What the Sobel magnitude after a normalised Gaussian blur reads beside
    a step of one grey level: the difference across the pixel, B(1) - B(-1),
    is G(0) + G(1), and the smoothing across sums to 4."""
    radius = int(4 * sigma + 0.5)
    weights = [math.exp(-(t * t) / (2 * sigma * sigma)) for t in range(radius + 1)]
    total = weights[0] + 2 * sum(weights[1:])
    return 4 * (weights[0] + weights[1]) / total


def matched_sigma(sigma):
    """The peers' sigma whose smoothing along the gradient, with the Sobel's,
    matches lintrace's at sigma."""
    return math.sqrt(max(lintrace_variance(sigma) - SOBEL_ALONG_VARIANCE, SMALLEST_PEER_SIGMA ** 2))


def lintrace_sigma_for(peer_sigma):
    """lintrace's sigma (two decimals) whose matched sigma is nearest peer_sigma."""
    return min((k / 100 for k in range(30, 1001)), key=lambda s: abs(matched_sigma(s) - peer_sigma))


TRANSLATIONS = ("same sigma, ramp", "same sigma, step", "matched sigma, step")


def translate(sigma, translation):
    """The peers' sigma and threshold factor for lintrace's sigma."""
    if translation == "same sigma, ramp":
        return sigma, SOBEL_RAMP_GAIN / lintrace_ramp_gain(sigma)
    peer_sigma = sigma if translation == "same sigma, step" else matched_sigma(sigma)
    return peer_sigma, sobel_step_gain(peer_sigma) / lintrace_step_gain(sigma)


def three(value):
    """A threshold as a user would type it: three significant digits."""
    return float("%.3g" % value)


def lintrace_map(build, photo, shape, sigma, low, high, work):
    """lintrace's edge map: every point of every block of its list. Returns
    the map and the number of edges."""
    listing = os.path.join(work, "edges.list")
    subprocess.run([os.path.join(build, "lintrace", "lintrace"), "-i", photo, "-o", listing, "-s", str(sigma),
                    "-lt", str(low), "-ht", str(high)], check=True)
    edges = np.zeros(shape, bool)
    count = 0
    with open(listing) as text:
        for line in text:
            x, y = line.split()
            if x == "-1" and y == "-1":
                count += 1
                continue
            edges[int(float(y)), int(float(x))] = True
    return edges, count


def near(edges):
    """The pixels within Chebyshev distance 1 of an edge pixel."""
    padded = np.pad(edges, 1)
    rows, columns = edges.shape
    out = np.zeros_like(edges)
    for dy in range(3):
        for dx in range(3):
            out |= padded[dy:dy + rows, dx:dx + columns]
    return out


def agreement(reference, other, margin):
    inner = np.zeros_like(reference)
    inner[margin:-margin, margin:-margin] = True
    reference, other = reference & inner, other & inner
    precision = (other & near(reference)).sum() / max(other.sum(), 1)
    recall = (reference & near(other)).sum() / max(reference.sum(), 1)
    f1 = 2 * precision * recall / (precision + recall) if precision + recall > 0 else 0.0
    return precision, recall, f1


def peers():
    """The peers installed here: name -> function(image, sigma, low, high) giving
    an edge map, thresholds on the 0..255 scale of Sobel magnitudes."""
    found = {}
    try:
        import cv2

        def opencv(l2):
            def canny(image, sigma, low, high):
                blurred = cv2.GaussianBlur(image, (0, 0), sigma)
                return cv2.Canny(blurred, low, high, L2gradient=l2) > 0
            return canny
        found["cv2 L2"] = opencv(True)
        found["cv2 L1"] = opencv(False)
    except ImportError:
        print("note: OpenCV's Python module (Debian: python3-opencv) is not installed: cv2.Canny skipped")
    try:
        from skimage import feature, img_as_float

        found["skimage"] = lambda image, sigma, low, high: feature.canny(image, sigma, low, high)
        found["skimage float"] = lambda image, sigma, low, high: feature.canny(
            img_as_float(image), sigma, low / 255, high / 255)
    except ImportError:
        print("note: scikit-image (Debian: python3-skimage) is not installed: skimage.feature.canny skipped")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--scan", action="store_true")
    arguments = parser.parse_args()
    found = peers()
    photos = sorted(glob.glob(os.path.join(ROOT, "data", "*.pgm")))
    scales = [0.7, 0.85, 1.0, 1.2, 1.4] if arguments.scan else [1.0]

    print("What the magnitudes read on a ramp of 1 grey level per pixel and beside a step of 1, and the")
    print("matched translation (peer sigma, factor from lintrace's thresholds to the Sobel thresholds):")
    for sigma in (0.4, 0.7, 1.0, 1.5, 2.0, 3.0, 4.0):
        peer_sigma, f = translate(sigma, "matched sigma, step")
        print("  sigma %.1f  ramp %.4f (Sobel 8)  step %.4f (Sobel %.4f)  effective sigma %.3f"
              "  ->  peer sigma %.3f factor %.3f" % (
                  sigma, lintrace_ramp_gain(sigma), lintrace_step_gain(sigma), sobel_step_gain(sigma),
                  math.sqrt(lintrace_variance(sigma)), peer_sigma, f))
    print()

    # Every run: lintrace's switches, the peers' sigma and thresholds, what they came from.
    runs = []
    for sigma, low, high in LINTRACE_SETTINGS:
        for translation in TRANSLATIONS:
            for scale in scales:
                peer_sigma, f = translate(sigma, translation)
                runs.append(((sigma, low, high), (peer_sigma, low * f * scale, high * f * scale), translation, scale))
    for peer_sigma, low, high in PEER_SETTINGS:
        sigma = lintrace_sigma_for(peer_sigma)
        _, f = translate(sigma, "matched sigma, step")
        runs.append(((sigma, three(low / f), three(high / f)), (peer_sigma, low, high), "from the peer", 1.0))

    print("%-13s %-22s %6s  %-13s %-20s %5s %-20s %5s %5s %5s" % (
        "photo", "lintrace", "edges", "peer", "translation", "scale", "peer sigma low high", "P", "R", "F1"))
    totals = {}
    with tempfile.TemporaryDirectory() as work:
        for (sigma, low, high), (peer_sigma, peer_low, peer_high), translation, scale in runs:
            margin = int(math.ceil(4 * max(sigma, peer_sigma))) + 2
            setting = "-s %g -lt %g -ht %g" % (sigma, low, high)
            peer_setting = "%.3g %.4g %.4g" % (peer_sigma, peer_low, peer_high)
            for photo in photos:
                image = read_pgm(photo)
                reference, count = lintrace_map(arguments.build, photo, image.shape, sigma, low, high, work)
                totals.setdefault((setting, "edges"), {})[photo] = count
                maps = {name: detect(image, peer_sigma, peer_low, peer_high) for name, detect in found.items()}
                if "cv2 L2" in maps and "skimage" in maps:
                    # The peers against each other, for scale: skimage in lintrace's place.
                    maps["cv2 L2 : skimage"] = None
                for name, edges in maps.items():
                    if edges is None:
                        p, r, f1 = agreement(maps["skimage"], maps["cv2 L2"], margin)
                    else:
                        p, r, f1 = agreement(reference, edges, margin)
                        print("%-13s %-22s %6d  %-13s %-20s %5.2f %-20s %5.3f %5.3f %5.3f" % (
                            os.path.basename(photo), setting, count, name, translation, scale, peer_setting,
                            p, r, f1))
                    totals.setdefault((setting, name, translation, scale, peer_setting), []).append((p, r, f1))
    print()
    print("Mean over the %d photographs (F1 from the worst to the best photograph):" % len(photos))
    for key, figures in totals.items():
        if key[1] == "edges":
            print("  %-22s lintrace: %.0f edges" % (key[0], sum(figures.values()) / len(figures)))
            continue
        setting, name, translation, scale, peer_setting = key
        p, r, f1 = (sum(column) / len(figures) for column in zip(*figures))
        print("  %-22s %-16s %-20s x%.2f  peer %-17s P %.3f  R %.3f  F1 %.3f (%.3f to %.3f)" % (
            setting, name, translation, scale, peer_setting, p, r, f1, min(f[2] for f in figures),
            max(f[2] for f in figures)))


if __name__ == "__main__":
    main()
