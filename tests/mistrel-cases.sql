-- The cases of e2e_mistrel: a line "-- ==" and a title starts each case;
-- the statements below it fill fresh tables for one Mistrel run at 14:07:42.
--
-- Weather anywhere in 14:07 qualifies, positions only at second 00. Of the
-- four satellites of 14:07:00 the highest (72 degrees; of the two there,
-- PRN 5) is used, not the first stored, nor the one furthest from the
-- horizon below it (-85), nor the higher ones at 14:07:42 and 14:08:00.
-- 20.0 C is 293.15 K.
--
-- Only a satellite at or above the 30 degree cut-off, above the horizon,
-- may give the value: not the one furthest from the horizon below it, not
-- one under the cut-off, not an impossible elevation. Dry air at the
-- zenith: IPWV exactly 0 at 45 degrees and height 0, negative (not stored)
-- at 10 degrees and 100 m.
-- == the highest satellite of second 00 (-35 deg, 150 m, 72 deg, PRN 5)
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:05');
INSERT INTO temperature (temperature_value, data) VALUES (20.0, '2014-03-05 14:07:35');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:59');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES
  (40, 100, 45, 3, 0.5, 1, '2014-03-05 14:07:00'),
  (-33, 250, 72, 9, 0.5, 1, '2014-03-05 14:07:00'),
  (-35, 150, 72, 5, 2.5, 4, '2014-03-05 14:07:00'),
  (40, 100, -85, 2, 0.5, 1, '2014-03-05 14:07:00'),
  (41, 200, 89, 7, NULL, NULL, '2014-03-05 14:07:42'),
  (42, 300, 88, 8, NULL, NULL, '2014-03-05 14:08:00');
INSERT INTO pressure (pressure_value, data) VALUES (901, '2014-03-05 14:08:00');
INSERT INTO temperature (temperature_value, data) VALUES (-11, '2014-03-05 14:08:00');
INSERT INTO humidity (humidity_value, data) VALUES (11, '2014-03-05 14:08:00');
-- == a latitude error without a height error is no position error estimate
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (40, 100, 30, NULL, 0.5, NULL, '2014-03-05 14:07:00');
-- == no satellite rows
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
-- == pressure of the next minute only
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:08:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (40, 100, 30, NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == no height
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (40, NULL, 30, NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == no humidity
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (NULL, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (40, 100, 30, NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == an elevation that is no number
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32);
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (40, 100, 'n/a', NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == both below the horizon
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES
  (40, 100, -35.5, 1, NULL, NULL, '2014-03-05 14:07:00'),
  (40, 100, -41, 2, NULL, NULL, '2014-03-05 14:07:00');
-- == all under the cut-off
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES
  (40, 100, 3, 1, NULL, NULL, '2014-03-05 14:07:00'),
  (40, 100, 7.5, 2, NULL, NULL, '2014-03-05 14:07:00'),
  (40, 100, 29.99, 3, NULL, NULL, '2014-03-05 14:07:00');
-- == one of five at the cut-off (40 deg, 100 m, 30 deg, PRN 4)
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (60, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES
  (41, 200, -85, 1, NULL, NULL, '2014-03-05 14:07:00'),
  (41, 200, 29.9, 2, NULL, NULL, '2014-03-05 14:07:00'),
  (41, 200, 95, 3, NULL, NULL, '2014-03-05 14:07:00'),
  (40, 100, 30, 4, NULL, NULL, '2014-03-05 14:07:00'),
  (41, 200, -30, 5, NULL, NULL, '2014-03-05 14:07:00');
-- == dry air, 45 deg, 0 m: IPWV 0
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (0, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (45, 0, 90, NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == dry air, 10 deg, 100 m: negative
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (0, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (10, 100, 90, NULL, NULL, NULL, '2014-03-05 14:07:00');
-- == no ipwv table
INSERT INTO pressure (pressure_value, data) VALUES (1013, '2014-03-05 14:07:00');
INSERT INTO temperature (temperature_value, data) VALUES (20, '2014-03-05 14:07:00');
INSERT INTO humidity (humidity_value, data) VALUES (0, '2014-03-05 14:07:00');
INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, heightErr, data) VALUES (45, 0, 90, NULL, NULL, NULL, '2014-03-05 14:07:00');
DROP TABLE ipwv;
