-- Six minutes of inputs from 2014-03-05 14:01, each its own weather
-- (read 10 to 15 s into the minute) and two satellites, PRN 3 and 17;
-- minute 6 has no humidity reading and so no inputs.
INSERT INTO pressure (pressure_value, data)
  SELECT 1010 + seq, '2014-03-05 14:01:00' + INTERVAL seq MINUTE + INTERVAL (10 + seq) SECOND
  FROM seq_0_to_5;
INSERT INTO temperature (temperature_value, data)
  SELECT 10.5 + seq, '2014-03-05 14:01:00' + INTERVAL seq MINUTE + INTERVAL (10 + seq) SECOND
  FROM seq_0_to_5;
INSERT INTO humidity (humidity_value, data)
  SELECT 60 + seq, '2014-03-05 14:01:00' + INTERVAL seq MINUTE + INTERVAL (10 + seq) SECOND
  FROM seq_0_to_4;
INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, longitudeErr, heightErr,
                               prn, elevation, td, data)
  SELECT 41.2, 16.5, 300 + 10 * seq, 1.5, 1.2, 2.5, prn, 40 + 5 * seq + prn, 2.4,
         '2014-03-05 14:01:00' + INTERVAL seq MINUTE
  FROM seq_0_to_5, (SELECT 3 AS prn UNION ALL SELECT 17) p;
