#!/usr/bin/env python3
"""Draws the focus timer's placeholder art and writes its placeholder sounds.

Everything is made here from simple shapes and silence: nothing is copied or downloaded. The
outputs land in resources/ (the app's main bundle):
  resources/ImageManifest.json   image name -> size in points and PNG file
  resources/Images/*.png         the art, drawn at a reduced pixel size (views scale it)
  resources/Assets/*.wav         the data assets of the sounds (silent 8 kHz mono 8-bit WAV,
                                 each tagged with its name, which is what the player reports)
  resources/bird.mp3             the break-end notification's sound file (same placeholder kind)

Run it from anywhere: python3 tools/make_placeholder_assets.py
"""

import json
import math
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "resources")


# --- PNG ------------------------------------------------------------------------------------------

class Canvas:
    def __init__(self, width, height, fill=(0, 0, 0, 0)):
        self.w, self.h = width, height
        self.px = [list(fill) for _ in range(width * height)]

    def blend(self, x, y, rgba):
        if 0 <= x < self.w and 0 <= y < self.h:
            r, g, b, a = rgba
            p = self.px[y * self.w + x]
            fa = a / 255.0
            ba = p[3] / 255.0
            oa = fa + ba * (1 - fa)
            if oa <= 0:
                return
            for i, c in enumerate((r, g, b)):
                p[i] = int((c * fa + p[i] * ba * (1 - fa)) / oa)
            p[3] = int(oa * 255)

    def rect(self, x0, y0, x1, y1, rgba):
        for y in range(max(0, int(y0)), min(self.h, int(y1))):
            for x in range(max(0, int(x0)), min(self.w, int(x1))):
                self.blend(x, y, rgba)

    def ellipse(self, cx, cy, rx, ry, rgba):
        for y in range(max(0, int(cy - ry)), min(self.h, int(cy + ry) + 1)):
            for x in range(max(0, int(cx - rx)), min(self.w, int(cx + rx) + 1)):
                if ((x + 0.5 - cx) / rx) ** 2 + ((y + 0.5 - cy) / ry) ** 2 <= 1:
                    self.blend(x, y, rgba)

    def triangle(self, pts, rgba):
        (x0, y0), (x1, y1), (x2, y2) = pts

        def side(ax, ay, bx, by, px, py):
            return (bx - ax) * (py - ay) - (by - ay) * (px - ax)

        for y in range(max(0, int(min(y0, y1, y2))), min(self.h, int(max(y0, y1, y2)) + 1)):
            for x in range(max(0, int(min(x0, x1, x2))), min(self.w, int(max(x0, x1, x2)) + 1)):
                px, py = x + 0.5, y + 0.5
                s = [side(x0, y0, x1, y1, px, py), side(x1, y1, x2, y2, px, py), side(x2, y2, x0, y0, px, py)]
                if all(v >= 0 for v in s) or all(v <= 0 for v in s):
                    self.blend(x, y, rgba)

    def png(self):
        raw = bytearray()
        for y in range(self.h):
            raw.append(0)
            for p in self.px[y * self.w:(y + 1) * self.w]:
                raw.extend(bytes(max(0, min(255, v)) for v in p))

        def chunk(kind, data):
            c = struct.pack(">I", len(data)) + kind + data
            return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def hsv(h, s, v, a=255):
    i = int(h * 6) % 6
    f = h * 6 - int(h * 6)
    p, q, t = v * (1 - s), v * (1 - f * s), v * (1 - (1 - f) * s)
    r, g, b = [(v, t, p), (q, v, p), (p, v, t), (p, q, v), (t, p, v), (v, p, q)][i]
    return (int(r * 255), int(g * 255), int(b * 255), a)


# --- the mascot and the art -----------------------------------------------------------------------

def bird(c, cx, cy, r, body=(120, 190, 230, 255), mood="calm"):
    c.ellipse(cx, cy, r, r * 0.9, body)
    c.ellipse(cx - r * 0.35, cy + r * 0.25, r * 0.55, r * 0.35, (255, 255, 255, 200))
    c.triangle([(cx + r * 0.85, cy - r * 0.1), (cx + r * 1.35, cy + r * 0.05), (cx + r * 0.85, cy + r * 0.2)],
               (250, 170, 40, 255))
    c.ellipse(cx + r * 0.4, cy - r * 0.3, r * 0.12, r * 0.12, (30, 30, 30, 255))
    if mood == "angry":
        c.triangle([(cx + r * 0.15, cy - r * 0.6), (cx + r * 0.7, cy - r * 0.45), (cx + r * 0.2, cy - r * 0.45)],
                   (30, 30, 30, 255))
        c.ellipse(cx - r * 0.1, cy - r * 0.05, r * 0.18, r * 0.12, (230, 60, 60, 160))
    elif mood == "fun":
        c.ellipse(cx + r * 0.5, cy + r * 0.15, r * 0.25, r * 0.12, (240, 90, 120, 220))


def background(w, h):
    c = Canvas(w, h, (32, 44, 66, 255))
    for y in range(h):
        shade = int(18 * y / h)
        c.rect(0, y, w, y + 1, (32 + shade, 44 + shade, 66 + shade * 2, 255))
    c.rect(0, h * 0.82, w, h, (52, 70, 60, 255))
    bird(c, w * 0.5, h * 0.72, w * 0.12)
    return c


def overlay(w, h, mood):
    c = Canvas(w, h)
    body = (230, 110, 100, 255) if mood == "angry" else (250, 210, 90, 255)
    bird(c, w * 0.5, h * 0.72, w * 0.13, body, mood)
    return c


def balloon(w, h, fill=(255, 255, 255, 235)):
    c = Canvas(w, h)
    c.ellipse(w / 2, h * 0.42, w * 0.48, h * 0.4, fill)
    c.triangle([(w * 0.45, h * 0.75), (w * 0.55, h * 0.75), (w * 0.5, h * 0.98)], fill)
    for i in range(3):
        c.ellipse(w * (0.35 + 0.15 * i), h * 0.42, w * 0.03, w * 0.03, (90, 110, 140, 255))
    return c


def button(w, h, colour, glyph):
    c = Canvas(w, h)
    c.ellipse(w / 2, h / 2, w / 2 - 1, h / 2 - 1, colour)
    white = (255, 255, 255, 255)
    if glyph == "play":
        c.triangle([(w * 0.38, h * 0.28), (w * 0.38, h * 0.72), (w * 0.74, h * 0.5)], white)
    elif glyph == "pause":
        c.rect(w * 0.33, h * 0.28, w * 0.44, h * 0.72, white)
        c.rect(w * 0.56, h * 0.28, w * 0.67, h * 0.72, white)
    elif glyph == "close":
        for t in range(int(w * 0.3), int(w * 0.7)):
            c.rect(t - 1, t - 1, t + 2, t + 2, white)
            c.rect(w - t - 2, t - 1, w - t + 1, t + 2, white)
    elif glyph == "gear":
        c.ellipse(w / 2, h / 2, w * 0.28, h * 0.28, white)
        c.ellipse(w / 2, h / 2, w * 0.12, h * 0.12, colour)
    elif glyph == "dot":
        pass
    else:
        c.rect(w * 0.3, h * 0.45, w * 0.7, h * 0.55, white)
    return c


def pill(w, h, colour):
    c = Canvas(w, h)
    c.rect(h / 2, 0, w - h / 2, h, colour)
    c.ellipse(h / 2, h / 2, h / 2, h / 2, colour)
    c.ellipse(w - h / 2, h / 2, h / 2, h / 2, colour)
    return c


def card(index, w, h):
    c = Canvas(w, h, hsv(index / 126.0, 0.25, 0.97))
    c.rect(0, h * 0.86, w, h, (255, 255, 255, 255))
    rnd = (index * 2654435761) & 0xFFFFFFFF
    for k in range(4):
        rnd = (rnd * 1103515245 + 12345) & 0x7FFFFFFF
        x = (rnd % 1000) / 1000.0 * w
        rnd = (rnd * 1103515245 + 12345) & 0x7FFFFFFF
        y = (rnd % 1000) / 1000.0 * h * 0.8
        c.ellipse(x, y, w * 0.12, w * 0.12, hsv(((index * 7 + k * 31) % 126) / 126.0, 0.45, 0.9, 200))
    bird(c, w * 0.5, h * 0.6, w * 0.14)
    return c


def fishing(n, w, h):
    c = Canvas(w, h)
    c.rect(0, h * 0.65, w, h, (90, 150, 200, 255))
    bird(c, w * 0.35, h * 0.5, w * 0.14)
    for i in range(n):
        c.ellipse(w * (0.55 + 0.04 * (i % 5)), h * (0.78 + 0.06 * (i // 5)), w * 0.025, h * 0.015,
                  (250, 250, 250, 255))
    return c


# --- sounds ---------------------------------------------------------------------------------------

def placeholder_sound(name, seconds):
    rate = 8000
    samples = int(seconds * rate)
    tag = name.encode() + b"\0"
    if len(tag) & 1:
        tag += b"\0"
    body = b"WAVE"
    body += b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8)
    body += b"LIST" + struct.pack("<I", 4 + 8 + len(tag)) + b"INFO" + b"INAM" + struct.pack("<I", len(tag)) + tag
    body += b"data" + struct.pack("<I", samples) + b"\x80" * samples + (b"\0" if samples & 1 else b"")
    return b"RIFF" + struct.pack("<I", len(body)) + body


# --- the catalogue --------------------------------------------------------------------------------

def main():
    images = os.path.join(ROOT, "Images")
    assets = os.path.join(ROOT, "Assets")
    os.makedirs(images, exist_ok=True)
    os.makedirs(assets, exist_ok=True)
    manifest = {}

    def add(name, points, canvas):
        with open(os.path.join(images, name + ".png"), "wb") as f:
            f.write(canvas.png())
        manifest[name] = {"width": points[0], "height": points[1], "file": "Images/" + name + ".png"}

    # Full-screen art is drawn at half its point size.
    add("background", (375, 667), background(188, 334))
    add("background_X", (375, 812), background(188, 406))
    add("angry", (375, 667), overlay(188, 334, "angry"))
    add("angry_X", (375, 812), overlay(188, 406, "angry"))
    add("fun", (375, 667), overlay(188, 334, "fun"))
    add("fun_X", (375, 812), overlay(188, 406, "fun"))
    intro = background(188, 334)
    intro.rect(20, 40, 168, 140, (255, 255, 255, 230))
    add("intro_image", (375, 667), intro)
    add("main_bird_talk_1", (180, 64), balloon(180, 64))
    add("main_bird_talk_1_x", (200, 72), balloon(200, 72))
    add("bird_a_ipad", (180, 64), balloon(180, 64, (230, 245, 255, 235)))
    add("intro_start_btn", (120, 44), pill(120, 44, (240, 130, 60, 255)))
    add("intro_start_btn_over", (120, 44), pill(120, 44, (200, 100, 40, 255)))
    add("play_btn", (80, 80), button(80, 80, (240, 130, 60, 255), "play"))
    add("play_btn_over", (80, 80), button(80, 80, (200, 100, 40, 255), "play"))
    add("pause_btn", (80, 80), button(80, 80, (90, 120, 200, 255), "pause"))
    add("pause_btn_over", (80, 80), button(80, 80, (60, 90, 170, 255), "pause"))
    add("close_btn", (56, 56), button(56, 56, (200, 80, 80, 255), "close"))
    add("setting_btn", (56, 56), button(56, 56, (110, 120, 140, 255), "gear"))
    add("complete", (20, 20), button(20, 20, (250, 200, 70, 255), "dot"))
    add("incomplete", (20, 20), button(20, 20, (200, 200, 210, 160), "dot"))
    for name, colour in [("title_btn_true", (240, 130, 60, 255)), ("title_btn_false", (180, 180, 190, 255)),
                         ("time_btn_true", (240, 130, 60, 255)), ("time_btn_true_today", (90, 120, 200, 255)),
                         ("time_btn_false", (180, 180, 190, 255)), ("save_btn", (110, 160, 110, 255)),
                         ("saved_icon", (70, 190, 90, 255))]:
        add(name, (44, 44), button(44, 44, colour, name))
    add("start_break_btn", (160, 48), pill(160, 48, (90, 150, 200, 255)))
    # The settings screen: one picture per white-noise mode, and each alert switch on and off.
    for i, name in enumerate(["off", "rain", "night", "fire", "wind", "river", "coffee", "stardust", "train"]):
        colour = (170, 170, 180, 255) if i == 0 else hsv(i / 9.0, 0.5, 0.85)
        add(name, (64, 64), button(64, 64, colour, "dot" if i else "none"))
    for name, colour in [("alert_vib", (240, 130, 60, 255)), ("alert_sound", (90, 150, 200, 255)),
                         ("alert_flash", (250, 200, 70, 255))]:
        add(name + "_true", (44, 44), button(44, 44, colour, "dot"))
        add(name + "_false", (44, 44), button(44, 44, (200, 200, 210, 160), "dot"))
    add("break_close_btn", (56, 56), button(56, 56, (120, 140, 160, 255), "close"))
    # Cards are drawn at a tenth of the 1000 x 1465 points the rendered card uses.
    for i in range(1, 127):
        add("card_%02d" % i, (1000, 1465), card(i, 100, 146))
    for n in range(1, 11):
        add("f_%d" % n, (300, 300), fishing(n, 150, 150))

    with open(os.path.join(ROOT, "ImageManifest.json"), "w") as f:
        json.dump(manifest, f, indent=1, sort_keys=True)
        f.write("\n")

    for name in ["bgm_rain", "bgm_night", "bgm_fire", "bgm_wind", "bgm_river", "bgm_coffee", "bgm_stardust",
                 "bgm_train"]:
        with open(os.path.join(assets, name + ".wav"), "wb") as f:
            f.write(placeholder_sound(name, 1.0))
    with open(os.path.join(assets, "bird.wav"), "wb") as f:
        f.write(placeholder_sound("bird", 0.5))
    # The platform decodes sounds by their content, whatever the extension.
    with open(os.path.join(ROOT, "bird.mp3"), "wb") as f:
        f.write(placeholder_sound("bird.mp3", 0.5))


if __name__ == "__main__":
    main()
