-- The rows of minutes.csv and minutes.json. Five minutes: 14:05 complete (two satellites at the
-- same elevation, two pressure readings), 14:06 nothing at all, 14:07
-- satellites but no weather and no value, 14:08 a value stored before the
-- uncertainty columns existed with weather but satellites only at second
-- 30, 14:09 a NULL temperature. Rows just outside the period must not show.
INSERT INTO ipwv (ipwv_value, data) VALUES (9.9, '2014-03-05 14:10:00'),
  (1.5, '2014-03-05 14:08:00');
INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data) VALUES (2.347012, 0.051631, 72, 5, 6, '2014-03-05 14:05:00'),
  (0, 0.05, 30.5, 12, 3, '2014-03-05 14:09:00');
INSERT INTO pressure (pressure_value, data) VALUES (900, '2014-03-05 14:04:59'),
  (1013.25, '2014-03-05 14:05:05'),
  (999, '2014-03-05 14:05:40'),
  (1001.5, '2014-03-05 14:08:35'),
  (1002, '2014-03-05 14:08:10'),
  (1010, '2014-03-05 14:09:00');
INSERT INTO temperature (temperature_value, data) VALUES (20.5, '2014-03-05 14:05:05'),
  (-3.25, '2014-03-05 14:08:35'),
  (NULL, '2014-03-05 14:09:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:05:05'),
  (55.5, '2014-03-05 14:08:35'),
  (40, '2014-03-05 14:09:59');
INSERT INTO troposphericDelay (latitude, longitude, height, prn, elevation, data) VALUES (-33.1, 7.1, 250, 9, 72, '2014-03-05 14:05:00'),
  (-35.2, 7.25, 150, 5, 72, '2014-03-05 14:05:00'),
  (45.5, 7.25, 80.5, 3, 50, '2014-03-05 14:07:00'),
  (45.6, 7.3, 81, 8, 65, '2014-03-05 14:07:00'),
  (44, 7, 70, 4, 80, '2014-03-05 14:08:30'),
  (45.5, 7.25, 80.5, 12, 30.5, '2014-03-05 14:09:00'),
  (46, 8, 90, 1, 89, '2014-03-05 14:10:00');
