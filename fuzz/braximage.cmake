# Image file readers of braxel.
foreach(format bmp pcx gif ilbm pel png jpeg)
  ht_fuzz(fuzz_braxel_${format} fuzz_braxel_${format}.cpp braxel_image)
endforeach()
