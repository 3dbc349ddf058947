#!/usr/bin/env python3
"""Draws the text page the text-detection example runs on: a 640x640 RGB image with a few
printed lines in different sizes, a two-column block and a slightly tinted background, so the
detector has ordinary document text to find. Deterministic: same output on every run.

Usage: python3 make_text_image.py [out.png]   (needs python3-pil and fonts-dejavu-core)
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

SIZE_PX = 640
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
BACKGROUND = (246, 243, 236)
INK = (20, 20, 24)
ACCENT = (150, 30, 30)


def font(name, size):
    return ImageFont.truetype(os.path.join(FONT_DIR, name), size)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "text.png")
    img = Image.new("RGB", (SIZE_PX, SIZE_PX), BACKGROUND)
    d = ImageDraw.Draw(img)

    d.text((40, 36), "Quarterly Field Report", font=font("DejaVuSans-Bold.ttf", 38), fill=INK)
    d.text((40, 88), "North River Station, week 14", font=font("DejaVuSerif.ttf", 22),
           fill=ACCENT)
    d.line((40, 124, 600, 124), fill=INK, width=2)

    body = font("DejaVuSans.ttf", 18)
    lines = [
        "Water level rose 12 cm after the storm on Tuesday.",
        "Two sensors were replaced; readings are stable again.",
        "The east gate needs new hinges before the winter.",
        "Next inspection: Monday 09:30, meet at the boathouse.",
    ]
    y = 146
    for line in lines:
        d.text((40, y), line, font=body, fill=INK)
        y += 32

    # A small table in two columns.
    mono = font("DejaVuSansMono.ttf", 17)
    rows = [("Item", "Count"), ("Buoys", "18"), ("Ropes (m)", "240"), ("Lamps", "6")]
    y = 300
    for name, count in rows:
        d.text((60, y), name, font=mono, fill=INK)
        d.text((330, y), count, font=mono, fill=INK)
        y += 28
    d.rectangle((48, 292, 460, y + 4), outline=INK, width=1)

    d.text((40, 448), "Signed:", font=font("DejaVuSerif-Italic.ttf", 24), fill=INK)
    d.text((150, 446), "A. Lindqvist", font=font("DejaVuSerif-BoldItalic.ttf", 28), fill=ACCENT)
    d.text((40, 520), "PAGE 1 / 3", font=font("DejaVuSansMono-Bold.ttf", 26), fill=INK)
    d.text((380, 574), "printed 2026-04-03", font=font("DejaVuSans.ttf", 16), fill=(90, 90, 90))

    img.save(out, optimize=True)
    print(out)


if __name__ == "__main__":
    main()
