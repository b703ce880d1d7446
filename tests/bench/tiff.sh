# Sourced by scripts/bench.sh: TIFF read and write of the 12-megapixel photo, uncompressed and LZW,
# against libtiff's tools and ImageMagick.
[ -f "$BENCH/photo.tif" ] || convert "$BENCH/photo.ppm" -depth 8 -compress None "$BENCH/photo.tif"
[ -f "$BENCH/photo_lzw.tif" ] || tiffcp -c lzw "$BENCH/photo.tif" "$BENCH/photo_lzw.tif"
[ -f "$BENCH/photo_lzw2.tif" ] || tiffcp -c lzw:2 "$BENCH/photo.tif" "$BENCH/photo_lzw2.tif"
compare "TIFF read 4000x3000 RGB uncompressed" \
  "$TRELIMG info $BENCH/photo.tif" \
  "tiffinfo -D $BENCH/photo.tif"
compare "TIFF read 4000x3000 RGB LZW" \
  "$TRELIMG info $BENCH/photo_lzw.tif" \
  "tiffinfo -D $BENCH/photo_lzw.tif"
compare "TIFF read 4000x3000 RGB LZW+predictor" \
  "$TRELIMG info $BENCH/photo_lzw2.tif" \
  "tiffinfo -D $BENCH/photo_lzw2.tif"
compare "TIFF copy uncompressed (tiffcp)" \
  "$TRELIMG convert $BENCH/photo.tif $BENCH/tiff-out.tif" \
  "tiffcp -c none $BENCH/photo.tif $BENCH/tiff-out-cp.tif"
compare "TIFF write LZW+predictor from uncompressed (tiffcp)" \
  "$TRELIMG convert $BENCH/photo.tif $BENCH/tiff-out.tif lzw" \
  "tiffcp -c lzw:2 $BENCH/photo.tif $BENCH/tiff-out-cp.tif"
compare "TIFF LZW+predictor read+write (tiffcp)" \
  "$TRELIMG convert $BENCH/photo_lzw2.tif $BENCH/tiff-out.tif lzw" \
  "tiffcp -c lzw:2 $BENCH/photo_lzw2.tif $BENCH/tiff-out-cp.tif"
compare "TIFF LZW read+write (ImageMagick)" \
  "$TRELIMG convert $BENCH/photo_lzw.tif $BENCH/tiff-out.tif lzw" \
  "convert $BENCH/photo_lzw.tif -compress LZW $BENCH/tiff-out-im.tif"
rm -f "$BENCH/tiff-out.tif" "$BENCH/tiff-out-cp.tif" "$BENCH/tiff-out-im.tif"
