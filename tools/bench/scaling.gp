# Draws the driver benchmark's scaling tables (by_size.dat, by_handles.dat
# in the directory given as dir) into one SVG (out).
#   gnuplot -e "dir='build/bench'; out='build/bench/scaling.svg'" tools/bench/scaling.gp
set terminal svg size 960,400 dynamic font "sans,11" background rgb "white"
set output out
set multiplot layout 1,2

set title "Time per read against its size"
set xlabel "chunks of 4 KiB in the read"
set ylabel "microseconds per read (median)"
set logscale xy
set grid
set key top left
plot dir."/by_size.dat" using 1:2 with linespoints pt 7 lw 2 title "read through the driver", \
     dir."/by_size.dat" using 1:3 with linespoints pt 5 lw 2 title "memcpy of the same bytes"

set title "Time per read against handles reading at once"
set xlabel "handles, each with a read of 1 MiB in flight"
set ylabel "microseconds per read (median)"
unset logscale y
set logscale x 2
set yrange [0:*]
set key bottom right
plot dir."/by_handles.dat" using 1:2 with linespoints pt 7 lw 2 title "per read through the driver", \
     dir."/by_handles.dat" using 1:4 with linespoints pt 5 lw 2 title "memcpy of one read's bytes"

unset multiplot
