/* Colour ramps that SLD, raster colour maps and QGIS draw linear in RGB. */
import {colorOf} from "./swatch.js";

/* A ramp linear in RGB through [value, colour, tick] stops. */
export function linearRamp(stops) {
  const sorted = stops.filter(([v, c]) => Number.isFinite(v) && colorOf(c)).sort((a, b) => a[0] - b[0]);
  const colorAt = v => {
    const i = sorted.findIndex(([at]) => at >= v);
    if (i <= 0) return (sorted[Math.max(0, i)] ?? sorted.at(-1))[1];
    const [[v0, c0], [v1, c1]] = [sorted[i - 1], sorted[i]];
    const [a, b] = [colorOf(c0), colorOf(c1)];
    const t = v1 > v0 ? (v - v0) / (v1 - v0) : 1;
    const mix = (x, y) => x + (y - x) * t;
    return `rgba(${a.rgb.map((x, k) => mix(x, b.rgb[k])).join(",")},${mix(a.alpha, b.alpha)})`;
  };
  return {min: sorted[0]?.[0] ?? 0, max: sorted.at(-1)?.[0] ?? 0, stops: sorted, colorAt};
}

