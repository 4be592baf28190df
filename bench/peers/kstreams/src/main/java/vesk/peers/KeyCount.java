package vesk.peers;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import java.util.Properties;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.LongAdder;
import org.apache.kafka.common.serialization.Serdes;
import org.apache.kafka.common.utils.Bytes;
import org.apache.kafka.streams.KafkaStreams;
import org.apache.kafka.streams.StreamsBuilder;
import org.apache.kafka.streams.StreamsConfig;
import org.apache.kafka.streams.kstream.Consumed;
import org.apache.kafka.streams.kstream.Materialized;
import org.apache.kafka.streams.state.KeyValueStore;

/**
 * Counts the messages of each key into a persistent RocksDB store ("counts") with its changelog,
 * at least once unless GUARANTEE says otherwise (exactly_once_v2). Writes its progress (first and
 * last message processed, count) to a JSON file.
 *
 * Usage: KeyCount BOOTSTRAP TOPIC APPLICATION_ID STATE_DIR COMMIT_INTERVAL_MS THREADS PROGRESS_FILE
 *        [GUARANTEE]
 */
public final class KeyCount {
  // Wall-clock nanoseconds from the monotonic clock, so that per-message stamps are cheap.
  private static final long EPOCH_OFFSET_NS =
      System.currentTimeMillis() * 1_000_000L - System.nanoTime();
  private static final LongAdder processed = new LongAdder();
  private static final AtomicLong first = new AtomicLong(0);
  private static volatile long last = 0;

  private static void hit() {
    long now = System.nanoTime();
    if (first.get() == 0) {
      first.compareAndSet(0, now);
    }
    last = now;
    processed.increment();
  }

  private static void writeProgress(Path file) {
    long f = first.get();
    String json = String.format("{\"first\": %.6f, \"last\": %.6f, \"count\": %d}",
        f == 0 ? 0.0 : (f + EPOCH_OFFSET_NS) / 1e9, f == 0 ? 0.0 : (last + EPOCH_OFFSET_NS) / 1e9,
        processed.sum());
    Path tmp = file.resolveSibling(file.getFileName() + ".tmp");
    try {
      Files.write(tmp, json.getBytes(StandardCharsets.UTF_8));
      Files.move(tmp, file, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    } catch (IOException e) {
      System.err.println("KeyCount: cannot write " + file + ": " + e);
    }
  }

  public static void main(String[] args) throws InterruptedException {
    if (args.length != 7 && args.length != 8) {
      System.err.println("usage: KeyCount BOOTSTRAP TOPIC APPLICATION_ID STATE_DIR "
          + "COMMIT_INTERVAL_MS THREADS PROGRESS_FILE [GUARANTEE]");
      System.exit(2);
    }
    Properties props = new Properties();
    props.put(StreamsConfig.BOOTSTRAP_SERVERS_CONFIG, args[0]);
    props.put(StreamsConfig.APPLICATION_ID_CONFIG, args[2]);
    props.put(StreamsConfig.STATE_DIR_CONFIG, args[3]);
    props.put(StreamsConfig.COMMIT_INTERVAL_MS_CONFIG, args[4]);
    props.put(StreamsConfig.NUM_STREAM_THREADS_CONFIG, args[5]);
    props.put(StreamsConfig.PROCESSING_GUARANTEE_CONFIG,
        args.length == 8 ? args[7] : StreamsConfig.AT_LEAST_ONCE);
    props.put(StreamsConfig.REPLICATION_FACTOR_CONFIG, 1);
    props.put(StreamsConfig.consumerPrefix("auto.offset.reset"), "earliest");
    Path progress = Path.of(args[6]);

    StreamsBuilder builder = new StreamsBuilder();
    builder.stream(args[1], Consumed.with(Serdes.String(), Serdes.String()))
        .peek((k, v) -> hit())
        .groupByKey()
        .count(Materialized.<String, Long, KeyValueStore<Bytes, byte[]>>as("counts")
            .withKeySerde(Serdes.String())
            .withValueSerde(Serdes.Long()));

    KafkaStreams streams = new KafkaStreams(builder.build(), props);
    CountDownLatch done = new CountDownLatch(1);
    streams.setUncaughtExceptionHandler(e -> {
      System.err.println("KeyCount: stream thread failed: " + e);
      return org.apache.kafka.streams.errors.StreamsUncaughtExceptionHandler
          .StreamThreadExceptionResponse.SHUTDOWN_CLIENT;
    });
    Runtime.getRuntime().addShutdownHook(new Thread(() -> {
      streams.close(Duration.ofSeconds(60));
      writeProgress(progress);
      done.countDown();
    }));
    Thread reporter = new Thread(() -> {
      while (true) {
        writeProgress(progress);
        try {
          Thread.sleep(50);
        } catch (InterruptedException e) {
          return;
        }
      }
    });
    reporter.setDaemon(true);
    reporter.start();
    streams.start();
    done.await();
  }
}
