#!/usr/bin/env perl
# Writes a registry file shaped like a regedit export, from a seed: a default
# profile's product key and a current user's, names from several scripts,
# every value type, hex lines wrapped as regedit wraps them, keys that come
# again in another case, CR LF. FORM 5 is a version 5 file (UTF-16LE, with
# emoji and a lone surrogate now and then); utf8 a version 5 file saved as
# UTF-8 (ASCII, which regedit reads alike in every code page; hex text as
# 8-bit characters, UTF-16LE bytes among them, a NUL at the end or not);
# 1252 and 932 a REGEDIT4 file in that code page (932: characters whose
# second byte is a backslash).
#   gen_export.pl SEED 5|utf8|1252|932 >FILE
use strict;
use warnings;
no warnings 'surrogate';
use Encode ();

my ($seed, $form) = @ARGV;
die "usage: gen_export.pl SEED 5|utf8|1252|932\n" unless defined $form && $form =~ /^(5|utf8|1252|932)$/;
srand($seed);
my $utf8 = $form eq 'utf8';
my $v5 = $form eq '5' || $utf8;
my %letters = (
  1252 => [split //, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.\x{e9}\x{c9}\x{e0}\x{c0}\x{e7}\x{f6}\x{d6}\x{fc}\x{dc}\x{f1}\x{d1}\x{20ac}"],
  932 => [split //, "abcdefghijklmnopqrstuvwxyzABCDEF0123456789 _-.\x{80fd}\x{8868}\x{30bd}\x{65e5}\x{672c}\x{8a9e}\x{ff21}\x{ff22}\x{ff41}\x{ff42}\x{414}\x{434}\x{416}\x{436}\x{3a3}\x{3c3}\x{ff71}"],
);
$letters{5} = [@{$letters{1252}}, @{$letters{932}}, "\x{1f600}", "\x{3b1}", "\x{3a9}"];
$letters{utf8} = [grep { ord($_) < 0x80 } @{$letters{1252}}];
my @letters = @{$letters{$form}};

sub pick { return $_[int(rand(@_))]; }
sub name {
  my ($length) = @_;
  my $name = join '', map { pick(@letters) } 1 .. $length;
  $name =~ s/^ +| +$//g;
  return $name eq '' ? 'k' : $name;
}

# The file's text as characters; encoded at the end.
my $text = ($v5 ? "Windows Registry Editor Version 5.00" : "REGEDIT4") . "\n\n";

sub quoted {
  my ($s) = @_;
  $s =~ s/([\\"])/\\$1/g;
  $s =~ s/\r/\\r/g;
  $s =~ s/\n/\\n/g;
  return "\"$s\"";
}

# Text as the registry holds it in this form: UTF-16LE in version 5, the
# code page's bytes in REGEDIT4; saved as UTF-8, the bytes of the text or
# of its UTF-16LE, without the NUL at the end now and then.
sub text_bytes {
  my ($s) = @_;
  if ($utf8) {
    $s = Encode::encode('UTF-16LE', $s) if rand() < 0.3;
    $s =~ s/\0$// if rand() < 0.3;
    return $s;
  }
  return $v5 ? Encode::encode('UTF-16LE', $s) : Encode::encode("cp$form", $s, Encode::FB_CROAK);
}

# "name"=hex(N):... wrapped after column 76, as regedit wraps it.
sub hex_value {
  my ($prefix, $type, $bytes) = @_;
  my $line = $prefix . ($type == 3 ? 'hex:' : sprintf('hex(%x):', $type));
  my @hex = map { sprintf '%02x', $_ } unpack('C*', $bytes);
  my $out = '';
  for my $i (0 .. $#hex) {
    $line .= $hex[$i] . ($i < $#hex ? ',' : '');
    if ($i < $#hex && length($line) > 76) {
      $out .= "$line\\\n";
      $line = '  ';
    }
  }
  return "$out$line\n";
}

sub value_line {
  my $name = rand() < 0.1 ? '@' : quoted(name(1 + int(rand(8))) . (rand() < 0.1 ? "\\\"x" : '') .
                                       ($form eq '5' && rand() < 0.05 ? "\x{d800}" : ''));
  my $prefix = "$name=";
  my $kind = int(rand(9));
  my $words = join ' ', map { name(1 + int(rand(6))) } 0 .. int(rand(4));
  return $prefix . quoted($words . (rand() < 0.2 ? "\r\n2" : '')) . "\n" if $kind <= 1;
  return $prefix . sprintf("dword:%08x\n", int(rand(2**32))) if $kind == 2;
  return hex_value($prefix, 3, pack('C*', map { int(rand(256)) } 1 .. int(rand(120)))) if $kind == 3;
  return hex_value($prefix, 2, text_bytes("%SystemRoot%\\$words\0")) if $kind == 4;
  return hex_value($prefix, 7, text_bytes(join('', map { name(1 + int(rand(5))) . "\0" } 0 .. int(rand(3))) . "\0"))
    if $kind == 5;
  return hex_value($prefix, 0xb, pack('C*', map { int(rand(256)) } 1 .. 8)) if $kind == 6;
  return hex_value($prefix, 0, '') if $kind == 7;
  return hex_value($prefix, pick(0x12345, 0xffffffff, 5, 11), pack('C*', map { int(rand(256)) } 1 .. int(rand(40))));
}

# The product key and subkeys below it, in the default profile and (fewer)
# the current user's; now and then a key comes again, in another case.
my @paths = ('');
for (1 .. 4 + int(rand(8))) {
  my $parent = pick(@paths);
  push @paths, ($parent eq '' ? '' : "$parent\\") . name(1 + int(rand(10)));
}
my @sections;
for my $path (@paths) {
  push @sections, "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro" . ($path eq '' ? '' : "\\$path");
  push @sections, "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\" . uc($path) if $path ne '' && rand() < 0.3;
}
push @sections, uc(pick(@sections)) for 1 .. 2;
$text .= "[HKEY_CURRENT_USER\\Software]\n\n";
for my $section (@sections) {
  $text .= "[$section]\n";
  $text .= value_line() for 1 .. int(rand(6));
  $text .= "\n";
}
$text =~ s/\n/\r\n/g;
binmode STDOUT;
if ($utf8) {
  print Encode::encode('UTF-8', $text);
} elsif ($v5) {
  # Units as they are, a lone surrogate included.
  my @units = map { my $c = ord; $c > 0xFFFF ? (0xD800 + (($c - 0x10000) >> 10), 0xDC00 + (($c - 0x10000) & 0x3FF)) : $c }
    split //, $text;
  print pack('v*', 0xFEFF, @units);
} else {
  print Encode::encode("cp$form", $text, Encode::FB_CROAK);
}
