#!/usr/bin/python3
"""QGIS draws each layer style of the renderer check, as its map would:
one feature (a line across the image, a square of 40 pixels at 96 dpi, or
a point, in the middle) in a layer of that style, at the dots per inch
given. Reads [{"qml", "geometry", "size", "dpi", "out"}] as JSON on
standard input and writes each image as a PNG to its "out".

Run with Debian's python3-qgis, headless (QT_QPA_PLATFORM=offscreen)."""
import json
import os
import sys
import tempfile

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
from qgis.core import (QgsApplication, QgsFeature, QgsGeometry, QgsMapRendererCustomPainterJob,  # noqa: E402
                       QgsMapSettings, QgsRectangle, QgsVectorLayer, QgsCoordinateReferenceSystem)
from qgis.PyQt.QtCore import QSize  # noqa: E402
from qgis.PyQt.QtGui import QColor, QImage, QPainter  # noqa: E402

KINDS = {"line": "LineString", "square": "Polygon", "point": "Point"}


def feature_wkt(geometry, w, h, scale):
    """The case's feature, in map units of one pixel at 96 dpi, its middle
    in the middle of a device pixel."""
    o = 0.5 / scale
    if geometry == "line":
        return f"LINESTRING(0 {h / 2 - o}, {w} {h / 2 - o})"
    if geometry == "square":
        x0, y0 = w / 2 - 20, h / 2 - 20
        return f"POLYGON(({x0} {y0}, {x0 + 40} {y0}, {x0 + 40} {y0 + 40}, {x0} {y0 + 40}, {x0} {y0}))"
    return f"POINT({w / 2 + o} {h / 2 - o})"


def render(case, folder):
    w, h = case["size"]
    scale = case["dpi"] / 96
    layer = QgsVectorLayer(f"{KINDS[case['geometry']]}?crs=EPSG:3857", "case", "memory")
    feature = QgsFeature()
    feature.setGeometry(QgsGeometry.fromWkt(feature_wkt(case["geometry"], w, h, scale)))
    layer.dataProvider().addFeatures([feature])
    path = os.path.join(folder, "style.qml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(case["qml"])
    message, ok = layer.loadNamedStyle(path)
    if not ok:
        raise SystemExit(f"QGIS did not read the style: {message}")
    settings = QgsMapSettings()
    settings.setLayers([layer])
    settings.setDestinationCrs(QgsCoordinateReferenceSystem("EPSG:3857"))
    settings.setOutputDpi(case["dpi"])
    settings.setOutputSize(QSize(round(w * scale), round(h * scale)))
    settings.setExtent(QgsRectangle(0, 0, w, h))
    settings.setBackgroundColor(QColor(255, 255, 255))
    image = QImage(settings.outputSize(), QImage.Format_ARGB32)
    image.fill(QColor(255, 255, 255))
    painter = QPainter(image)
    job = QgsMapRendererCustomPainterJob(settings, painter)
    job.start()
    job.waitForFinished()
    painter.end()
    image.save(case["out"], "PNG")


def main():
    app = QgsApplication([], False)
    app.initQgis()
    with tempfile.TemporaryDirectory() as folder:
        for case in json.load(sys.stdin):
            render(case, folder)
    app.exitQgis()


if __name__ == "__main__":
    main()
