# Throughput against payload size; run as: gnuplot -e "dir='bench-results'" bench/throughput.gp
set terminal pngcairo size 900,520 font "sans,11"
set output dir."/throughput.png"
set title "Payload throughput (image bytes per second)"
set xlabel "payload size (MiB; Gemini request: per reference, 4 references)"
set ylabel "GB/s"
set logscale x 2
set xtics (1, 4, 8, 20)
set key outside right
set grid
set datafile missing "?"
plot dir."/throughput.dat" using 1:2 with linespoints title "Gemini request body", \
     ''                  using 1:3 with linespoints title "Gemini response to result", \
     ''                  using 1:4 with linespoints title "images response to result", \
     ''                  using 1:5 with linespoints title "edits upload via libcurl", \
     ''                  using 1:6 with linespoints dt 2 title "OpenSSL decode alone"
