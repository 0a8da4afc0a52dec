#!/usr/bin/env bash
# Takes a Windows machine's registry exports through lorimex on Linux and
# back. On Windows:
#   reg export "HKU\.DEFAULT\Software\Norvane" default.reg
#   reg export "HKCU\Software\Norvane" user.reg     (fails when the user has
#                                                    no Norvane key: leave it out)
# Here:
#   examples/exports.sh join default.reg [user.reg] >registry.reg
#   LORIMEX_REGISTRY=$PWD/registry.reg build/lorimex
#   examples/exports.sh user registry.reg >import.reg
# and on Windows, as that user: reg import import.reg
#
# join: one version 5 file of both exports, with HKEY_CURRENT_USER\Software,
#   which every Windows registry holds (an export of a key the user lacks
#   does not). A user's export that is not there is left out with a note:
#   that is the usual case, a user without a Norvane key. user: the current
#   user's Norvane subtree of it, the only part to import (a user who is not
#   an administrator may not write .DEFAULT).
# The files are read as lorimex reads version 5 files: UTF-16LE after a
# byte-order mark, as reg export writes them, or UTF-8 with or without one,
# as an editor may save them. What this writes is UTF-16LE, unit for unit
# what the files hold, so nothing in them is changed.
set -eu
usage() { echo "usage: exports.sh join DEFAULT.reg [USER.reg] | exports.sh user REGISTRY.reg" >&2; exit 2; }
[ $# -ge 2 ] || usage
case $1 in join | user) ;; *) usage ;; esac
perl -e '
use strict;
use warnings;
use Encode ();
no warnings "surrogate";
my $header = "Windows Registry Editor Version 5.00";
# A character as UTF-16 units: a pair of surrogates beyond the Basic
# Multilingual Plane.
sub units {
  my $c = ord $_[0];
  return $_[0] if $c < 0x10000;
  $c -= 0x10000;
  return chr(0xD800 + ($c >> 10)) . chr(0xDC00 + ($c & 0x3FF));
}
# A version 5 export as a string of UTF-16 units (lone surrogates kept),
# without its byte-order mark and header line.
sub body {
  my ($file) = @_;
  open(my $in, "<:raw", $file) or die "exports.sh: $file: $!\n";
  local $/;
  my $bytes = <$in> // "";
  my $text;
  if (substr($bytes, 0, 2) eq "\xFF\xFE") {
    die "exports.sh: $file: UTF-16LE cut short (an odd number of bytes)\n" if length($bytes) % 2;
    $text = join "", map { chr } unpack("v*", substr($bytes, 2));
  } else {
    $bytes =~ s/\A\xEF\xBB\xBF//;
    $text = eval { Encode::decode("UTF-8", $bytes, Encode::FB_CROAK) };
    die "exports.sh: $file: neither UTF-16LE with a byte-order mark nor UTF-8\n" unless defined $text;
    $text = join "", map { units($_) } split //, $text;
  }
  $text =~ s/\A[ \t]*\Q$header\E\r?\n// or die "exports.sh: $file: not a version 5 export\n";
  return $text;
}
sub put { binmode STDOUT; print pack("v*", 0xFEFF, map { ord } split //, $header . "\r\n" . $_[0]); }
my ($mode, $file, $user) = @ARGV;
if (defined $user && !-e $user) {
  print STDERR "exports.sh: $user is not there: joined without it, as for a user without a Norvane key\n";
  undef $user;
}
my $text = body($file);
if ($mode eq "join") {
  $text .= "\r\n" unless $text =~ /\n\z/;
  $text .= "\r\n[HKEY_CURRENT_USER\\Software]\r\n";
  $text .= body($user) if defined $user;
  put($text);
} else {
  my ($out, $keep) = ("\r\n", 0);
  for my $line (split /(?<=\n)/, $text) {
    $keep = $line =~ /^\[HKEY_CURRENT_USER\\Software\\Norvane[\\\]]/i if $line =~ /^\[/;
    $out .= $line if $keep;
  }
  put($out);
}
' -- "$@"
