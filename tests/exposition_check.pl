#!/usr/bin/perl
# tests/exposition_check.pl FILE: reads FILE as Prometheus' text exposition format (what
# node_exporter's textfile collector reads) and refuses, with "FILE:LINE: reason" on standard
# error and status 1, what that format does not allow: bytes that are not UTF-8, a metric or
# label name out of its alphabet, a reserved label name (__*), an escape in a label value other
# than \\ \" \n (or in a HELP text other than \\ \n), an unterminated quote, a value that is not
# a float, a timestamp that is not an integer, a second HELP or TYPE line for a name, a TYPE
# after the family's first sample, an unknown type, a family whose samples are not together,
# the same series twice, a last line without its line feed, an empty file (which the collector
# would take, but check-verdict never writes). Otherwise prints what it read:
#   sample NAME LABEL=HEX,... VALUE   one line per sample, in order, label values unescaped, in
#                                     hex, labels by name
#   family NAME TYPE help|nohelp      then one line per family, in order
# Perl's core alone, so that it runs wherever the verdict test does.
use strict;
use warnings;

my $file = shift @ARGV or die "usage: exposition_check.pl FILE\n";
open(my $in, '<:raw', $file) or die "$file: $!\n";
my $text = do { local $/; <$in> };
close $in;

my $line_number = 0;
sub refuse { print STDERR "$file:$line_number: $_[0]\n"; exit 1; }

my $utf8 = qr/(?:[\x00-\x7F]|[\xC2-\xDF][\x80-\xBF]|\xE0[\xA0-\xBF][\x80-\xBF]
  |[\xE1-\xEC\xEE\xEF][\x80-\xBF]{2}|\xED[\x80-\x9F][\x80-\xBF]|\xF0[\x90-\xBF][\x80-\xBF]{2}
  |[\xF1-\xF3][\x80-\xBF]{3}|\xF4[\x80-\x8F][\x80-\xBF]{2})/x;
my $metric_name = qr/[a-zA-Z_:][a-zA-Z0-9_:]*/;
my $label_name = qr/[a-zA-Z_][a-zA-Z0-9_]*/;
my $float = qr/[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|Inf|inf)|NaN/;
my %types = map { $_ => 1 } qw(counter gauge histogram summary untyped);
my %suffixes = (histogram => [qw(_bucket _sum _count)], summary => [qw(_sum _count)]);

refuse('the file is empty') if $text eq '';
$line_number = ($text =~ tr/\n//) + 1, refuse('the last line has no line feed')
  if substr($text, -1) ne "\n";

my (%type, %help, %has_samples, %closed, %seen, @families);
my $current = '';
# The family a sample of NAME belongs to: NAME, or for a histogram's or a summary's own series
# the name without its suffix.
sub family_of {
  my ($name) = @_;
  for my $family (keys %type) {
    for my $suffix (@{ $suffixes{ $type{$family} } || [] }) {
      return $family if $name eq "$family$suffix";
    }
  }
  return $name;
}
sub enter {
  my ($family) = @_;
  return if $family eq $current;
  refuse("the lines of $family are not together") if $closed{$family};
  $closed{$current} = 1 if $current ne '';
  $current = $family;
  push @families, $family unless grep { $_ eq $family } @families;
}

chop $text;
for my $line (split /\n/, $text, -1) {
  $line_number++;
  refuse('not UTF-8') unless $line =~ /\A$utf8*\z/;
  next if $line =~ /\A[ \t]*\z/;
  if ($line =~ /\A[ \t]*#/) {
    if ($line =~ /\A[ \t]*#[ \t]+HELP[ \t]+($metric_name)(?:[ \t]+(.*))?\z/) {
      my ($name, $docstring) = ($1, $2 // '');
      (my $rest = $docstring) =~ s/\\[\\n]//g;
      refuse("an escape other than \\\\ or \\n in the HELP of $name") if $rest =~ /\\/;
      refuse("a second HELP line for $name") if $help{$name}++;
      enter($name);
    } elsif ($line =~ /\A[ \t]*#[ \t]+TYPE[ \t]+($metric_name)[ \t]+([a-z]+)[ \t]*\z/) {
      my ($name, $kind) = ($1, $2);
      refuse("unknown type $kind for $name") unless $types{$kind};
      refuse("a second TYPE line for $name") if $type{$name};
      refuse("the TYPE of $name comes after its samples") if $has_samples{$name};
      $type{$name} = $kind;
      enter($name);
    } elsif ($line =~ /\A[ \t]*#[ \t]+(?:HELP|TYPE)(?:[ \t]|\z)/) {
      refuse('a malformed HELP or TYPE line');
    }
    next;
  }
  $line =~ /\A[ \t]*($metric_name)/g or refuse('no metric name');
  my $name = $1;
  my (%labels, @pairs);
  if ($line =~ /\G[ \t]*\{/gc) {
    while (1) {
      $line =~ /\G[ \t]*/gc;
      last if $line =~ /\G\}/gc;
      $line =~ /\G($label_name)[ \t]*=[ \t]*"/gc or refuse("a malformed label in $name");
      my $label = $1;
      refuse("the reserved label name $label") if $label =~ /\A__/;
      refuse("the label $label twice") if exists $labels{$label};
      $line =~ /\G((?:[^"\\]|\\.)*)"/gc or refuse("an unterminated value of $label");
      my $raw = $1;
      (my $rest = $raw) =~ s/\\[\\"n]//g;
      refuse("an escape other than \\\\, \\\" or \\n in the value of $label") if $rest =~ /\\/;
      (my $value = $raw) =~ s/\\(.)/$1 eq 'n' ? "\n" : $1/ge;
      $labels{$label} = $value;
      $line =~ /\G[ \t]*/gc;
      next if $line =~ /\G,/gc;
      last if $line =~ /\G\}/gc;
      refuse("no comma or closing brace after the label $label");
    }
  }
  $line =~ /\G[ \t]+($float)(?=[ \t]|\z)/gc or refuse("no value, or one that is not a float, for $name");
  my $value = $1;
  $line =~ /\G(?:[ \t]+-?[0-9]+)?[ \t]*\z/gc or refuse("something that is not a timestamp after the value of $name");
  my $family = family_of($name);
  enter($family);
  $has_samples{$family} = 1;
  my $series = join("\0", $name, map { "$_=$labels{$_}" } sort keys %labels);
  refuse("a second sample of the same series of $name") if $seen{$series}++;
  print "sample $name ", join(',', map { "$_=" . unpack('H*', $labels{$_}) } sort keys %labels),
    " $value\n";
}
for my $family (@families) {
  print "family $family ", $type{$family} // 'untyped', ' ', $help{$family} ? 'help' : 'nohelp', "\n";
}
