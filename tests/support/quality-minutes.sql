-- Minutes 2014-03-05 10:00-10:08, one for each flag of the export and each
-- reason of a minute without a value (sql::writeQualityMinutes):
-- 10:00 a value of a high satellite (elevation to 15 decimals) with its inputs (flags 1);
-- 10:01 a satellite at 45 degrees, no uncertainty (1+2+4);
-- 10:02 computed from a pressure that is not the minute's reading (1+8);
-- 10:03 a value of an earlier version (no elevation, no inputs: 1+4+16+32);
-- 10:04 nothing (a satellite at 10:04:30 only);
-- 10:05 satellites below the cut-off only (one by the least a double can be);
-- 10:06 no humidity;
-- 10:07 dry air at 10 degrees of latitude (a negative value);
-- 10:08 everything there, nothing stored.
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, pressure, temperature,
                  humidity, data) VALUES
  (2.2, 0.05, 72.123456789012345, 5, 6, 1013.25, 20.5, 60, '2014-03-05 10:00:00'),
  (2.3, NULL, 45, 7, 4, 1013.25, 20.5, 60, '2014-03-05 10:01:00'),
  (2.4, 0.05, 80, 3, 5, 1000, 20.5, 60, '2014-03-05 10:02:00'),
  (2.5, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '2014-03-05 10:03:00');
-- Readings at second 25 of minutes 10:00-10:02 and 10:05-10:08.
INSERT INTO pressure (pressure_value, data) VALUES
  (1013.25, '2014-03-05 10:00:25'), (1013.25, '2014-03-05 10:01:25'),
  (1013.25, '2014-03-05 10:02:25'), (1013.25, '2014-03-05 10:05:25'),
  (1013, '2014-03-05 10:06:25'), (1013, '2014-03-05 10:07:25'), (1013, '2014-03-05 10:08:25');
INSERT INTO temperature (temperature_value, data) VALUES
  (20.5, '2014-03-05 10:00:25'), (20.5, '2014-03-05 10:01:25'), (20.5, '2014-03-05 10:02:25'),
  (20, '2014-03-05 10:05:25'), (20, '2014-03-05 10:06:25'), (20, '2014-03-05 10:07:25'),
  (20, '2014-03-05 10:08:25');
INSERT INTO humidity (humidity_value, data) VALUES
  (60, '2014-03-05 10:00:25'), (60, '2014-03-05 10:01:25'), (60, '2014-03-05 10:02:25'),
  (60, '2014-03-05 10:05:25'), (0, '2014-03-05 10:07:25'), (60, '2014-03-05 10:08:25');
INSERT INTO troposphericDelay (latitude, longitude, height, prn, elevation, data) VALUES
  (45, 7, 100, 5, 72, '2014-03-05 10:00:00'),
  (45, 7, 100, 7, 45, '2014-03-05 10:01:00'),
  (45, 7, 100, 3, 80, '2014-03-05 10:02:00'),
  (45, 7, 100, 3, 80, '2014-03-05 10:03:00'),
  (45, 7, 100, 3, 29.999999999999996, '2014-03-05 10:05:00'),
  (45, 7, 100, 4, -40, '2014-03-05 10:05:00'),
  (45, 7, 100, 3, 70, '2014-03-05 10:06:00'),
  (10, 7, 100, 3, 90, '2014-03-05 10:07:00'),
  (45, 7, 100, 3, 70, '2014-03-05 10:08:00'),
  (45, 7, 100, 9, 75, '2014-03-05 10:04:30');
