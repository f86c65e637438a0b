/* The view of the map a legend is of: a zoom, or the scale denominator of
 * that zoom, one from the other. */
export const DEFAULT_ZOOM = 14;
/* The scale denominator of zoom 0: MapLibre's 512-pixel tiles at the
 * equator, at the OGC's pixel of 0.28 mm. */
export const SCALE_AT_ZOOM_0 = 279541132.014;

export const scaleOfZoom = zoom => SCALE_AT_ZOOM_0 / 2 ** zoom;

/* {zoom, scale} from either. */
export function viewOf({zoom = DEFAULT_ZOOM, scaleDenominator} = {}) {
  if (scaleDenominator > 0) return {zoom: Math.log2(SCALE_AT_ZOOM_0 / scaleDenominator), scale: scaleDenominator};
  return {zoom, scale: scaleOfZoom(zoom)};
}
