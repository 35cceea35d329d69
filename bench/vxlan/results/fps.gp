set terminal pngcairo size 1100,450 font ",10"
set output "/work/main/bench/vxlan/results/fps.png"
set termoption noenhanced
set multiplot layout 1,2 title "krix_vxlan (A), bare relay (B), kernel VXLAN (C): 2 CPUs, AMD EPYC, load 0.97 1.72 2.63"
set xlabel "frame size (bytes)"
set ylabel "frames/s delivered"
set key top right
set grid
set yrange [0:*]
set xtics (64, 512, 1500)
set title "forward (switch -> VXLAN), generator maximum"
plot "/work/main/bench/vxlan/results/fps_fwd.dat" u 1:2 w lp t "A krix_vxlan", "" u 1:3 w lp t "B bare relay", "" u 1:4 w lp t "C kernel"
set title "reverse (VXLAN -> switch), generator maximum"
plot "/work/main/bench/vxlan/results/fps_rev.dat" u 1:2 w lp t "A krix_vxlan", "" u 1:3 w lp t "B bare relay", "" u 1:4 w lp t "C kernel"
unset multiplot
