#!/usr/bin/perl
# Draws the control's pictures: a servo motor (a round housing with a shaft
# and a cable) as a 32x32 icon and as the 16x15 toolbox bitmap.
#   make_images.pl ICON_OUT BITMAP_OUT
use strict;
use warnings;

my ($ico_out, $bmp_out) = @ARGV;
die "usage: $0 ICON_OUT BITMAP_OUT\n" unless defined $bmp_out;

# Colour of one pixel of a picture scaled to `size`, or undef for clear.
sub pixel {
  my ($x, $y, $size) = @_;
  my $s = 32 / $size;
  my ($u, $v) = (($x + 0.5) * $s, ($y + 0.5) * $s);   # in the 32x32 design
  my ($cx, $cy) = (14, 16);
  my $d = sqrt(($u - $cx) ** 2 + ($v - $cy) ** 2);
  return [32, 32, 32] if $d > 10 && $d <= 12;           # housing rim
  return [40, 110, 190] if $d <= 10 && $d > 3;          # housing
  return [220, 220, 220] if $d <= 3;                    # shaft
  return [200, 60, 40] if $u > 25 && $u < 31 && $v > 14 && $v < 18;   # cable
  return [32, 32, 32] if $u >= 25 && $u <= 26 && $v > 12 && $v < 20;  # plug
  return undef;
}

# 32x32, 32 bits per pixel with an AND mask, bottom-up rows.
my ($w, $h) = (32, 32);
my ($xor, $and) = ('', '');
for (my $y = $h - 1; $y >= 0; $y--) {
  my $bits = '';
  for my $x (0 .. $w - 1) {
    my $c = pixel($x, $y, 32);
    $xor .= defined $c ? pack('C4', $c->[2], $c->[1], $c->[0], 255) : pack('C4', 0, 0, 0, 0);
    $bits .= defined $c ? '0' : '1';
  }
  $and .= pack('B32', $bits);
}
my $dib = pack('VVVvvVVVVVV', 40, $w, $h * 2, 1, 32, 0, length($xor) + length($and), 0, 0, 0, 0)
        . $xor . $and;
my $ico = pack('vvv', 0, 1, 1) . pack('CCCCvvVV', $w, $h, 0, 0, 1, 32, length($dib), 22) . $dib;

# 16x15, 24 bits per pixel; the toolbox treats the bottom-left colour as
# transparent, so the background is a light grey.
my ($bw, $bh) = (16, 15);
my $rows = '';
for (my $y = $bh - 1; $y >= 0; $y--) {
  my $row = '';
  for my $x (0 .. $bw - 1) {
    my $c = pixel($x, $y * 16 / 15, 16) // [192, 192, 192];
    $row .= pack('C3', $c->[2], $c->[1], $c->[0]);
  }
  $row .= "\0" x ((4 - length($row) % 4) % 4);
  $rows .= $row;
}
my $bmp = pack('A2VvvV', 'BM', 54 + length($rows), 0, 0, 54)
        . pack('VVVvvVVVVVV', 40, $bw, $bh, 1, 24, 0, length($rows), 2835, 2835, 0, 0) . $rows;

for ([$ico_out, $ico], [$bmp_out, $bmp]) {
  open(my $f, '>:raw', $_->[0]) or die "$_->[0]: $!\n";
  print $f $_->[1];
  close($f) or die "$_->[0]: $!\n";
}
