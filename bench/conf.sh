# Sourced by the benchmark scripts inside their sandbox: the translator's
# configuration of a benchmark run. write_conf LEVEL PINGTIME.
write_conf() {
  cat > /etc/ram/keyd-translator.conf <<EOC
host=127.0.0.1
pingTime=$2
subscriptions=UNKNOWN
log4cpp.rootCategory=$1, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=/etc/ram/keyd-translator.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d %p %c: %m%n
EOC
}
