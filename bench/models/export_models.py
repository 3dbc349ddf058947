#!/usr/bin/env python3
"""Exports the benchmark models to ONNX with fresh random weights: resnet18, resnet50,
mobilenet_v2, a small YOLO-style detector and a small ViT. The architectures are written out
here (no torchvision needed). Batch-norm statistics and affine parameters are re-drawn so
every layer does real work and outputs are not degenerate. For each model it also writes one
deterministic random input (raw little-endian f32) and a manifest line.

Usage: /usr/bin/python3 export_models.py OUT_DIR [name ...]
Writes OUT_DIR/<name>.onnx, OUT_DIR/<name>.input.f32 and OUT_DIR/manifest.tsv
(name, input name, comma-separated input shape).
"""
import os
import sys

import numpy as np
import torch
from torch import nn

OPSET = 13
SEED = 1234


# ---------------------------------------------------------------- ResNet
class BasicBlock(nn.Module):
    expansion = 1

    def __init__(self, cin, cout, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(cout)
        self.conv2 = nn.Conv2d(cout, cout, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(cout)
        self.relu = nn.ReLU(inplace=True)
        self.down = None
        if stride != 1 or cin != cout:
            self.down = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False),
                                      nn.BatchNorm2d(cout))

    def forward(self, x):
        idt = x if self.down is None else self.down(x)
        y = self.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return self.relu(y + idt)


class Bottleneck(nn.Module):
    expansion = 4

    def __init__(self, cin, width, stride):
        super().__init__()
        cout = width * 4
        self.conv1 = nn.Conv2d(cin, width, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(width)
        self.conv2 = nn.Conv2d(width, width, 3, stride, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(width)
        self.conv3 = nn.Conv2d(width, cout, 1, bias=False)
        self.bn3 = nn.BatchNorm2d(cout)
        self.relu = nn.ReLU(inplace=True)
        self.down = None
        if stride != 1 or cin != cout:
            self.down = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False),
                                      nn.BatchNorm2d(cout))

    def forward(self, x):
        idt = x if self.down is None else self.down(x)
        y = self.relu(self.bn1(self.conv1(x)))
        y = self.relu(self.bn2(self.conv2(y)))
        y = self.bn3(self.conv3(y))
        return self.relu(y + idt)


class ResNet(nn.Module):
    def __init__(self, block, layers, classes=1000):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 64, 7, 2, 3, bias=False), nn.BatchNorm2d(64),
                                  nn.ReLU(inplace=True), nn.MaxPool2d(3, 2, 1))
        blocks, cin = [], 64
        for i, n in enumerate(layers):
            width = 64 << i
            for j in range(n):
                stride = 2 if (i > 0 and j == 0) else 1
                b = block(cin, width, stride)
                blocks.append(b)
                cin = width * block.expansion
        self.blocks = nn.Sequential(*blocks)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(cin, classes)

    def forward(self, x):
        x = self.blocks(self.stem(x))
        return self.fc(torch.flatten(self.pool(x), 1))


# ---------------------------------------------------------------- MobileNetV2
def conv_bn(cin, cout, k, s, groups=1, act=True):
    layers = [nn.Conv2d(cin, cout, k, s, k // 2, groups=groups, bias=False), nn.BatchNorm2d(cout)]
    if act:
        layers.append(nn.ReLU6(inplace=True))
    return nn.Sequential(*layers)


class InvertedResidual(nn.Module):
    def __init__(self, cin, cout, stride, expand):
        super().__init__()
        hidden = cin * expand
        layers = [] if expand == 1 else [conv_bn(cin, hidden, 1, 1)]
        layers += [conv_bn(hidden, hidden, 3, stride, groups=hidden),
                   conv_bn(hidden, cout, 1, 1, act=False)]
        self.body = nn.Sequential(*layers)
        self.residual = stride == 1 and cin == cout

    def forward(self, x):
        y = self.body(x)
        return x + y if self.residual else y


class MobileNetV2(nn.Module):
    SETTINGS = [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2), (6, 96, 3, 1),
                (6, 160, 3, 2), (6, 320, 1, 1)]

    def __init__(self, classes=1000):
        super().__init__()
        layers, cin = [conv_bn(3, 32, 3, 2)], 32
        for t, c, n, s in self.SETTINGS:
            for i in range(n):
                layers.append(InvertedResidual(cin, c, s if i == 0 else 1, t))
                cin = c
        layers.append(conv_bn(cin, 1280, 1, 1))
        self.features = nn.Sequential(*layers)
        self.classifier = nn.Sequential(nn.Dropout(0.2), nn.Linear(1280, classes))

    def forward(self, x):
        x = self.features(x)
        x = nn.functional.adaptive_avg_pool2d(x, 1).flatten(1)
        return self.classifier(x)


# ---------------------------------------------------------------- YOLO-style detector
class ConvSiLU(nn.Sequential):
    def __init__(self, cin, cout, k=3, s=1):
        super().__init__(nn.Conv2d(cin, cout, k, s, k // 2, bias=False), nn.BatchNorm2d(cout),
                         nn.SiLU())


class CSPBlock(nn.Module):
    """Split, a few residual 3x3 pairs on one half, concatenate every stage, fuse with 1x1."""

    def __init__(self, cin, cout, n):
        super().__init__()
        self.half = cout // 2
        self.cv1 = ConvSiLU(cin, 2 * self.half, 1)
        self.m = nn.ModuleList(
            nn.Sequential(ConvSiLU(self.half, self.half), ConvSiLU(self.half, self.half))
            for _ in range(n))
        self.cv2 = ConvSiLU((2 + n) * self.half, cout, 1)

    def forward(self, x):
        y = list(self.cv1(x).chunk(2, 1))
        for m in self.m:
            y.append(y[-1] + m(y[-1]))
        return self.cv2(torch.cat(y, 1))


class SPPF(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.cv1 = ConvSiLU(c, c // 2, 1)
        self.cv2 = ConvSiLU(c * 2, c, 1)
        self.pool = nn.MaxPool2d(5, 1, 2)

    def forward(self, x):
        x = self.cv1(x)
        a = self.pool(x)
        b = self.pool(a)
        return self.cv2(torch.cat([x, a, b, self.pool(b)], 1))


class TinyYolo(nn.Module):
    """A nano-sized anchor-free detector: CSP backbone, SPPF, top-down and bottom-up neck and a
    decoupled head whose three scales are concatenated into [1, 4 + classes, anchors] with
    sigmoid class scores (the raw form detection tails start from)."""

    def __init__(self, classes=80, w=16):
        super().__init__()
        self.b0 = nn.Sequential(ConvSiLU(3, w, 3, 2), ConvSiLU(w, 2 * w, 3, 2),
                                CSPBlock(2 * w, 2 * w, 1))
        self.b1 = nn.Sequential(ConvSiLU(2 * w, 4 * w, 3, 2), CSPBlock(4 * w, 4 * w, 2))
        self.b2 = nn.Sequential(ConvSiLU(4 * w, 8 * w, 3, 2), CSPBlock(8 * w, 8 * w, 2))
        self.b3 = nn.Sequential(ConvSiLU(8 * w, 16 * w, 3, 2), CSPBlock(16 * w, 16 * w, 1),
                                SPPF(16 * w))
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.n1 = CSPBlock(24 * w, 8 * w, 1)
        self.n2 = CSPBlock(12 * w, 4 * w, 1)
        self.d1 = ConvSiLU(4 * w, 4 * w, 3, 2)
        self.n3 = CSPBlock(12 * w, 8 * w, 1)
        self.d2 = ConvSiLU(8 * w, 8 * w, 3, 2)
        self.n4 = CSPBlock(24 * w, 16 * w, 1)
        self.classes = classes
        self.heads = nn.ModuleList()
        for c in (4 * w, 8 * w, 16 * w):
            self.heads.append(nn.Sequential(ConvSiLU(c, 4 * w), nn.Conv2d(4 * w, 4 + classes, 1)))

    def forward(self, x):
        p3 = self.b1(self.b0(x))
        p4 = self.b2(p3)
        p5 = self.b3(p4)
        t4 = self.n1(torch.cat([self.up(p5), p4], 1))
        t3 = self.n2(torch.cat([self.up(t4), p3], 1))
        o4 = self.n3(torch.cat([self.d1(t3), t4], 1))
        o5 = self.n4(torch.cat([self.d2(o4), p5], 1))
        outs = []
        for f, head in zip((t3, o4, o5), self.heads):
            y = head(f)
            outs.append(y.flatten(2))
        y = torch.cat(outs, 2)
        box, cls = y.split((4, self.classes), 1)
        return torch.cat([box, cls.sigmoid()], 1)


# ---------------------------------------------------------------- ViT
class Attention(nn.Module):
    def __init__(self, dim, heads):
        super().__init__()
        self.heads = heads
        self.scale = (dim // heads) ** -0.5
        self.qkv = nn.Linear(dim, dim * 3)
        self.proj = nn.Linear(dim, dim)

    def forward(self, x):
        b, n, c = x.shape
        qkv = self.qkv(x).reshape(b, n, 3, self.heads, c // self.heads).permute(2, 0, 3, 1, 4)
        q, k, v = qkv[0], qkv[1], qkv[2]
        a = (q @ k.transpose(-2, -1)) * self.scale
        a = a.softmax(-1)
        return self.proj((a @ v).transpose(1, 2).reshape(b, n, c))


class EncoderBlock(nn.Module):
    def __init__(self, dim, heads, mlp_ratio=4):
        super().__init__()
        self.n1 = nn.LayerNorm(dim)
        self.attn = Attention(dim, heads)
        self.n2 = nn.LayerNorm(dim)
        self.mlp = nn.Sequential(nn.Linear(dim, dim * mlp_ratio), nn.GELU(),
                                 nn.Linear(dim * mlp_ratio, dim))

    def forward(self, x):
        x = x + self.attn(self.n1(x))
        return x + self.mlp(self.n2(x))


class SmallViT(nn.Module):
    def __init__(self, image=224, patch=16, dim=192, depth=6, heads=3, classes=1000):
        super().__init__()
        tokens = (image // patch) ** 2
        self.patch = nn.Conv2d(3, dim, patch, patch)
        self.cls = nn.Parameter(torch.randn(1, 1, dim) * 0.02)
        self.pos = nn.Parameter(torch.randn(1, tokens + 1, dim) * 0.02)
        self.blocks = nn.Sequential(*[EncoderBlock(dim, heads) for _ in range(depth)])
        self.norm = nn.LayerNorm(dim)
        self.head = nn.Linear(dim, classes)

    def forward(self, x):
        x = self.patch(x).flatten(2).transpose(1, 2)
        x = torch.cat([self.cls.expand(x.shape[0], -1, -1), x], 1) + self.pos
        x = self.norm(self.blocks(x))
        return self.head(x[:, 0])


# ---------------------------------------------------------------- export
MODELS = {
    "resnet18": (lambda: ResNet(BasicBlock, [2, 2, 2, 2]), (1, 3, 224, 224)),
    "resnet50": (lambda: ResNet(Bottleneck, [3, 4, 6, 3]), (1, 3, 224, 224)),
    "mobilenet_v2": (MobileNetV2, (1, 3, 224, 224)),
    "yolo_tiny": (TinyYolo, (1, 3, 640, 640)),
    "vit_small": (SmallViT, (1, 3, 224, 224)),
}


def reinit(model):
    """Kaiming convolutions, random batch-norm statistics, and a damped last norm of every
    residual branch so activations stay in a sane range through deep stacks."""
    g = torch.Generator().manual_seed(SEED)
    for m in model.modules():
        if isinstance(m, nn.Conv2d):
            # Drawn from torch's global generator, seeded in export().
            nn.init.kaiming_normal_(m.weight, mode="fan_out", nonlinearity="relu")
            if m.bias is not None:
                m.bias.data.uniform_(-0.1, 0.1, generator=g)
        elif isinstance(m, nn.BatchNorm2d):
            c = m.num_features
            m.running_mean.data = torch.randn(c, generator=g) * 0.1
            m.running_var.data = torch.rand(c, generator=g) * 0.5 + 0.75
            m.weight.data = torch.rand(c, generator=g) * 0.5 + 0.5
            m.bias.data = torch.randn(c, generator=g) * 0.1
        elif isinstance(m, nn.Linear):
            nn.init.trunc_normal_(m.weight, std=0.02)
            m.bias.data.uniform_(-0.05, 0.05, generator=g)
        elif isinstance(m, nn.LayerNorm):
            m.weight.data = torch.rand(m.normalized_shape, generator=g) * 0.5 + 0.75
            m.bias.data = torch.randn(m.normalized_shape, generator=g) * 0.05
    for m in model.modules():
        last = getattr(m, "bn3", None) or getattr(m, "bn2", None)
        if isinstance(m, (BasicBlock, Bottleneck)) and last is not None:
            last.weight.data *= 0.3


def export(name, out_dir):
    make, shape = MODELS[name]
    torch.manual_seed(SEED)
    model = make()
    reinit(model)
    model.eval()
    x = torch.from_numpy(np.random.default_rng(SEED).random(shape, dtype=np.float32))
    path = os.path.join(out_dir, name + ".onnx")
    with torch.no_grad():
        torch.onnx.export(model, x, path, input_names=["input"], output_names=["output"],
                          opset_version=OPSET, do_constant_folding=True)
        y = model(x)
    x.numpy().astype("<f4").tofile(os.path.join(out_dir, name + ".input.f32"))
    print(f"{name}: output {tuple(y.shape)} mean {y.abs().mean().item():.4g}", file=sys.stderr)
    return f"{name}\tinput\t{','.join(map(str, shape))}"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    names = sys.argv[2:] or list(MODELS)
    lines = [export(n, out_dir) for n in names]
    with open(os.path.join(out_dir, "manifest.tsv"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
