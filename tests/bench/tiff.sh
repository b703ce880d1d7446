# Sourced by scripts/bench.sh: TIFF read and write of the 12-megapixel photo, uncompressed and LZW,
# against libtiff's tools and ImageMagick. Our "lzw" writes 24-bit RGB with the horizontal
# predictor, so the tiffcp runs use -c lzw:2 as well.
[ -f "$BENCH/photo.tif" ] || convert "$BENCH/photo.ppm" -depth 8 -compress None "$BENCH/photo.tif"
[ -f "$BENCH/photo_lzw.tif" ] || tiffcp -c lzw "$BENCH/photo.tif" "$BENCH/photo_lzw.tif"
[ -f "$BENCH/photo_lzw2.tif" ] || tiffcp -c lzw:2 "$BENCH/photo.tif" "$BENCH/photo_lzw2.tif"
compare "TIFF LZW read+write (tiffcp -c lzw:2)" \
  "$TRELIMG convert $BENCH/photo_lzw2.tif $BENCH/tiff-out.tif lzw" \
  "tiffcp -c lzw:2 $BENCH/photo_lzw2.tif $BENCH/tiff-out-cp.tif"
compare "TIFF LZW write from uncompressed (tiffcp)" \
  "$TRELIMG convert $BENCH/photo.tif $BENCH/tiff-out.tif lzw" \
  "tiffcp -c lzw:2 $BENCH/photo.tif $BENCH/tiff-out-cp.tif"
compare "TIFF uncompressed read+write (tiffcp)" \
  "$TRELIMG convert $BENCH/photo.tif $BENCH/tiff-out.tif" \
  "tiffcp -c none $BENCH/photo.tif $BENCH/tiff-out-cp.tif"
compare "TIFF LZW read (tiffinfo -D, no picture)" \
  "$TRELIMG info $BENCH/photo_lzw.tif" \
  "tiffinfo -D $BENCH/photo_lzw.tif"
compare "TIFF LZW read (ImageMagick)" \
  "$TRELIMG info $BENCH/photo_lzw.tif" \
  "convert $BENCH/photo_lzw.tif null:"
compare "TIFF uncompressed read (ImageMagick)" \
  "$TRELIMG info $BENCH/photo.tif" \
  "convert $BENCH/photo.tif null:"
compare "TIFF LZW read+write (ImageMagick)" \
  "$TRELIMG convert $BENCH/photo_lzw.tif $BENCH/tiff-out.tif lzw" \
  "convert $BENCH/photo_lzw.tif -compress LZW $BENCH/tiff-out-im.tif"
rm -f "$BENCH/tiff-out.tif" "$BENCH/tiff-out-cp.tif" "$BENCH/tiff-out-im.tif"
